#pragma once

#include <cstdint>

namespace Core_Service {

// What an application implements so that the service dispatcher can drive it as a service
// or in the console.
class InterfaceServiceHandler {
public:
    // False means: do not run.
    virtual bool OnStart() = 0;
    // Never invoked by the dispatcher.
    virtual bool OnBreak() = 0;
    virtual void OnStop() = 0;
    virtual void OnShutdown() = 0;
    // Never invoked by the dispatcher.
    virtual void OnSpare() = 0;
    // A user-defined control, 128 to 255.
    virtual void OnUserControl(std::uint32_t control) = 0;
    // After every wait of the run loop that ends without the exit event.
    virtual void OnIdle() = 0;

protected:
    // Handlers are never deleted through this interface.
    ~InterfaceServiceHandler() = default;
};

} // namespace Core_Service
