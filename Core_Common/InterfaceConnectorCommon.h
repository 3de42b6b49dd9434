#pragma once

namespace Core_Common::InterfaceConnectorCommon {

// A module wrapper: knows how to create, start, stop and destroy one module.
class InterfaceCommon {
public:
    // Virtual so that the registry, which owns its wrappers, can delete them through this base.
    virtual ~InterfaceCommon() = default;
    virtual void Create() = 0;
    virtual void Destroy() = 0;
    virtual void Startup() = 0;
    virtual void Shutdown() = 0;
};

// Forwards each phase to the like-named static operation of the module interface class T.
template <class T> class InterfaceModule final : public InterfaceCommon {
public:
    void Create() override { T::Create(); }
    void Destroy() override { T::Destroy(); }
    void Startup() override { T::Startup(); }
    void Shutdown() override { T::Shutdown(); }
};

// Registry phases. Misuse (a second registry, or any phase without one) throws the integer 0.
void CreateRegistry();
void RegisterModule(const char* interfaceName, InterfaceCommon* wrapper);
void CreateModules();
void StartupModules();
void ShutdownModules();
void ReleaseModules();
bool RegistryExists();

template <class T> void RegisterModule(const char* interfaceName) {
    RegisterModule(interfaceName, new InterfaceModule<T>());
}

// Creates the registry, registers the program's modules in their fixed order and creates
// each of them. Defined with the program, the only place that knows every module.
void InitializeModules();

} // namespace Core_Common::InterfaceConnectorCommon
