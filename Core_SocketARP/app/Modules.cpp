// The program's modules, in the order of creation, start-up and shutdown (and the reverse
// order of destruction).
#include "Core_Common/DeadLoopDectector.h"
#include "Core_Common/InterfaceConnectorCommon.h"
#include "Core_Common/Log.h"
#include "Core_Common/Message.h"
#include "Core_Common/Timer.h"
#include "Core_Service/ServiceDispatcher.h"
#include "Core_SocketARP/SocketARP.h"

namespace Core_Common::InterfaceConnectorCommon {

void InitializeModules() {
    CreateRegistry();
    RegisterModule<Core_Common::InterfaceDeadLoopDectector>(
        "Core_Common::InterfaceDeadLoopDectector");
    RegisterModule<Core_Common::InterfaceLog>("Core_Common::InterfaceLog");
    RegisterModule<Core_Common::InterfaceMessage>("Core_Common::InterfaceMessage");
    RegisterModule<Core_Common::InterfaceTimer>("Core_Common::InterfaceTimer");
    RegisterModule<Core_Service::InterfaceServiceDispatcher>(
        "Core_Service::InterfaceServiceDispatcher");
    // Last: its Shutdown stops the protection after every other module's, and it is destroyed
    // first.
    RegisterModule<Core_SocketARP::InterfaceSocketARP>("Core_SocketARP::InterfaceSocketARP");
    CreateModules();
}

} // namespace Core_Common::InterfaceConnectorCommon
