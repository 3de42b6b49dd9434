#include "Core_SocketARP/app/ServiceHandler.h"

#include "Core_Common/Timer.h"
#include "Core_Common/Utility.h"
#include "Core_Service/ServiceDispatcher.h"
#include "Core_SocketARP/SocketARP.h"
#include "Core_SocketARP/app/Program.h"

using Core_Service::ServiceDispatcher;

ServiceHandler::ServiceHandler() {
    ServiceDispatcher::instance->SetHandler(this);
    ServiceDispatcher::instance->SetServiceName(service_name);
}

ServiceHandler::~ServiceHandler() {
    if (ServiceDispatcher::instance != nullptr) {
        ServiceDispatcher::instance->SetHandler(nullptr);
    }
}

bool ServiceHandler::OnStart() {
    Core_SocketARP::InterfaceSocketARP::Start();
    return true;
}

bool ServiceHandler::OnBreak() {
    Core_Common::debug_break();
    return false;
}

void ServiceHandler::OnStop() { Core_SocketARP::InterfaceSocketARP::Stop(); }

void ServiceHandler::OnShutdown() { Core_SocketARP::InterfaceSocketARP::Stop(); }

void ServiceHandler::OnIdle() { Core_Common::DispatchPending(); }
