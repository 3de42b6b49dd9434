#include "Core_Service/win/ServiceRecovery_win.h"

namespace Core_Service {

ServiceConfigApi& SystemServiceConfigApi() {
    static ServiceConfigApi api;
    return api;
}

bool SetRestartOnFailure(SC_HANDLE service, std::uint32_t& error) {
    ServiceConfigApi& api = SystemServiceConfigApi();
    // The last action stands for every later failure, until a day without one resets the count.
    SC_ACTION actions[] = {{SC_ACTION_RESTART, restart_delay_ms},
                           {SC_ACTION_RESTART, restart_delay_ms},
                           {SC_ACTION_RESTART, repeated_restart_delay_ms}};
    SERVICE_FAILURE_ACTIONSW failure{};
    failure.dwResetPeriod = failure_count_reset_s;
    failure.cActions = sizeof actions / sizeof actions[0];
    failure.lpsaActions = actions;
    if (!api.changeServiceConfig2(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure)) {
        error = GetLastError();
        return false;
    }
    SERVICE_FAILURE_ACTIONS_FLAG flag{TRUE};
    if (!api.changeServiceConfig2(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag)) {
        error = GetLastError();
        return error == ERROR_INVALID_LEVEL;
    }
    return true;
}

} // namespace Core_Service
