#include "Core_Common/InterfaceConnectorCommon.h"

#include <memory>
#include <vector>

namespace Core_Common::InterfaceConnectorCommon {
namespace {

struct ModuleRegistry {
    std::vector<std::unique_ptr<InterfaceCommon>> wrappers;
};

ModuleRegistry* registry = nullptr;

ModuleRegistry& existing_registry() {
    if (registry == nullptr) {
        throw 0;
    }
    return *registry;
}

} // namespace

void CreateRegistry() {
    if (registry != nullptr) {
        throw 0;
    }
    registry = new ModuleRegistry();
}

void RegisterModule(const char* /*interfaceName*/, InterfaceCommon* wrapper) {
    std::unique_ptr<InterfaceCommon> owned(wrapper);
    existing_registry().wrappers.push_back(std::move(owned));
}

void CreateModules() {
    for (auto& wrapper : existing_registry().wrappers) {
        wrapper->Create();
    }
}

void StartupModules() {
    for (auto& wrapper : existing_registry().wrappers) {
        wrapper->Startup();
    }
}

void ShutdownModules() {
    // Registration order, not reversed: the dead-loop detector's watch ends first.
    for (auto& wrapper : existing_registry().wrappers) {
        wrapper->Shutdown();
    }
}

void ReleaseModules() {
    auto& wrappers = existing_registry().wrappers;
    for (std::size_t i = wrappers.size(); i-- > 0;) {
        wrappers[i]->Destroy();
    }
    delete registry;
    registry = nullptr;
}

bool RegistryExists() { return registry != nullptr; }

} // namespace Core_Common::InterfaceConnectorCommon
