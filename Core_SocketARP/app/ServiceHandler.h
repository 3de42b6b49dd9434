#pragma once

#include "Core_Service/InterfaceServiceHandler.h"

#include <cstdint>

// The program's application handler: where the service host and the ARP protection meet.
// Exactly one exists while service mode or debug mode runs; it stores itself in the
// dispatcher's handler slot and clears the slot again when it goes.
class ServiceHandler final : public Core_Service::InterfaceServiceHandler {
public:
    ServiceHandler();
    ~ServiceHandler();
    ServiceHandler(const ServiceHandler&) = delete;
    ServiceHandler& operator=(const ServiceHandler&) = delete;

    // Starts the ARP protection (first binding pass, then the monitor); true in every case.
    bool OnStart() override;
    // A breakpoint trap, then false.
    bool OnBreak() override;
    // Stops the ARP protection: the monitor ends, then the ARP tables are flushed.
    void OnStop() override;
    // The same stop at a system shutdown, while the service still reports that it is stopping:
    // the system may end the process as soon as it has reported that it stopped.
    void OnShutdown() override;
    void OnSpare() override {}
    void OnUserControl(std::uint32_t /*control*/) override {}
    // Due timers, then queued messages, on the calling thread.
    void OnIdle() override;
};
