// What the Wine tests of the service host and of the program share: child processes with their
// standard output on a pipe, and the service's state through Wine's Service Control Manager.
#pragma once

#include "Core_Common/Utility.h"
#include "Core_Common/win/ScopedHandle_win.h"
#include "Core_Common/win/WinApi.h"
#include "fakes/ServiceLines.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace wine_test {

using Core_Common::ScopedKernelHandle;
using Core_Common::ScopedServiceHandle;
using tw_test::narrow;

inline const std::wstring description =
    L"Protect you against ARP attack in the local network, attackers can no longer sniff your "
    L"traffic.";

// Bounds a wait that should end soon; reached only when the behaviour is broken.
constexpr DWORD give_up_ms = 30000;

// Console lines as the program's text-mode output carries them.
inline std::string crlf(const std::string& text) {
    std::string result;
    for (char c : text) {
        if (c == '\n') {
            result += '\r';
        }
        result += c;
    }
    return result;
}

struct ProgramResult {
    DWORD code = 0xFFFFFFFF;
    std::string output;
};

// A child process whose standard output is read through a pipe.
class ChildProcess {
public:
    explicit ChildProcess(std::wstring commandLine, DWORD creationFlags = 0) {
        SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        HANDLE read_end = nullptr;
        HANDLE write_end = nullptr;
        if (!CreatePipe(&read_end, &write_end, &inherit, 0)) {
            return;
        }
        reader_.reset(read_end);
        const ScopedKernelHandle writer(write_end);
        SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = write_end;
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        PROCESS_INFORMATION process{};
        if (CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, creationFlags,
                           nullptr, nullptr, &startup, &process)) {
            process_.reset(process.hProcess);
            const ScopedKernelHandle thread(process.hThread);
            id_ = process.dwProcessId;
        }
        // The write end closes here: the pipe ends when the child's copy does.
    }

    // A child left running by a failed test ends with it.
    ~ChildProcess() {
        if (process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) {
            TerminateProcess(process_.get(), still_running_code);
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return process_.valid(); }
    DWORD id() const { return id_; }

    // Reads until the output holds the text or ends; whether it holds the text.
    bool ReadUntil(const std::string& text) {
        while (output_.find(text) == std::string::npos) {
            if (!ReadMore()) {
                return false;
            }
        }
        return true;
    }

    // Waits for the child's end within the bound; a child still running then is ended. For
    // a child that writes little more: a full pipe would hold it up.
    bool WaitForExit() {
        if (WaitForSingleObject(process_.get(), give_up_ms) == WAIT_OBJECT_0) {
            return true;
        }
        TerminateProcess(process_.get(), still_running_code);
        WaitForSingleObject(process_.get(), give_up_ms);
        return false;
    }

    // The whole output and the exit code, once the output has ended.
    ProgramResult Finish() {
        ProgramResult result;
        if (!started()) {
            return result;
        }
        while (ReadMore()) {
        }
        WaitForExit();
        GetExitCodeProcess(process_.get(), &result.code);
        result.output = output_;
        return result;
    }

    // The exit code of a child that had to be ended.
    static constexpr DWORD still_running_code = 0xDEAD;

private:
    bool ReadMore() {
        char buffer[512];
        DWORD got = 0;
        if (!reader_ || !ReadFile(reader_.get(), buffer, sizeof buffer, &got, nullptr) ||
            got == 0) {
            return false;
        }
        output_.append(buffer, got);
        return true;
    }

    ScopedKernelHandle reader_;
    ScopedKernelHandle process_;
    DWORD id_ = 0;
    std::string output_;
};

// Runs a command line to its end.
inline ProgramResult run_program(std::wstring commandLine) {
    return ChildProcess(std::move(commandLine)).Finish();
}

// Wine delivers Ctrl+C (not Ctrl+Break: its server answers "not implemented" for any other
// event), and only between processes of one console, which a test under Wine does not have:
// the child gets a console of its own (CREATE_NEW_CONSOLE) and the sender, a helper program,
// attaches to it and sends the event. The sender's exit code; 0 once the event is sent.
inline DWORD send_ctrl_c(std::filesystem::path sender, DWORD processId) {
    const std::wstring path = sender.make_preferred().wstring();
    return run_program(L"\"" + path + L"\" " + std::to_wstring(processId) + L" " +
                       std::to_wstring(CTRL_C_EVENT))
        .code;
}

inline ScopedServiceHandle open_service(const std::wstring& name, DWORD access) {
    const ScopedServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    return ScopedServiceHandle(OpenServiceW(manager.get(), name.c_str(), access));
}

// The service's state and process id; state 0 when it cannot be asked.
inline SERVICE_STATUS_PROCESS query_status(const std::wstring& name) {
    SERVICE_STATUS_PROCESS status{};
    const auto service = open_service(name, SERVICE_QUERY_STATUS);
    DWORD needed = 0;
    if (!service ||
        !QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                              reinterpret_cast<BYTE*>(&status), sizeof status, &needed)) {
        return SERVICE_STATUS_PROCESS{};
    }
    return status;
}

inline DWORD query_state(const std::wstring& name) { return query_status(name).dwCurrentState; }

// The Service Control Manager signals no state change to a client here: ask until the state
// comes, within the bound.
inline bool wait_for_state(const std::wstring& name, DWORD state) {
    const DWORD start = GetTickCount();
    while (query_state(name) != state) {
        if (GetTickCount() - start > give_up_ms) {
            return false;
        }
        Sleep(20);
    }
    return true;
}

// Stops the service if it runs and deletes it; nothing when it is not installed.
inline void remove_service(const std::wstring& name) {
    const auto service = open_service(name, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE);
    if (!service) {
        return;
    }
    SERVICE_STATUS status{};
    if (QueryServiceStatus(service.get(), &status) && status.dwCurrentState != SERVICE_STOPPED) {
        ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
        wait_for_state(name, SERVICE_STOPPED);
    }
    DeleteService(service.get());
}

// Registers the service as the program's /install does (own process, automatic start, errors
// ignored, the local system account, the program's path in double quotes, its Event Log source),
// for tests of what comes after: under Wine every file belongs to the Wine user, and /install
// refuses to make a service of a program that another account than the system's own could
// replace.
inline bool register_service(const std::wstring& name, const std::filesystem::path& program) {
    const ScopedServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
    const std::wstring command = L"\"" + program.wstring() + L"\"";
    const ScopedServiceHandle service(
        CreateServiceW(manager.get(), name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                       SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_IGNORE,
                       command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    HKEY source = nullptr;
    const std::wstring key = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + name;
    if (!service || RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                                    nullptr, &source, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const std::wstring file = program.wstring();
    const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    const bool written =
        RegSetValueExW(source, L"EventMessageFile", 0, REG_EXPAND_SZ,
                       reinterpret_cast<const BYTE*>(file.c_str()),
                       static_cast<DWORD>((file.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS &&
        RegSetValueExW(source, L"TypesSupported", 0, REG_DWORD,
                       reinterpret_cast<const BYTE*>(&types), sizeof types) == ERROR_SUCCESS;
    RegCloseKey(source);
    return written;
}

// The service's key as reg.exe takes it, quoted.
inline std::wstring registry_key(const std::wstring& name) {
    return L"\"HKLM\\SYSTEM\\CurrentControlSet\\Services\\" + name + L"\"";
}

// The registration of an own-process service that starts with the system and runs the program
// without a switch; its command quoted, as the path may hold blanks; and its description.
inline void expect_registered(const std::wstring& name, const std::filesystem::path& program) {
    const std::wstring key = registry_key(name);
    const ProgramResult described = run_program(L"reg.exe query " + key + L" /v Description");
    EXPECT_EQ(described.code, 0u);
    EXPECT_THAT(described.output, testing::HasSubstr("REG_SZ    " + narrow(description)));
    const ProgramResult image = run_program(L"reg.exe query " + key + L" /v ImagePath");
    EXPECT_THAT(image.output,
                testing::HasSubstr("REG_SZ    \"" + narrow(program.wstring()) + "\"\r\n"));

    const auto service = open_service(name, SERVICE_QUERY_CONFIG);
    ASSERT_TRUE(service) << "error " << GetLastError();
    DWORD needed = 0;
    QueryServiceConfigW(service.get(), nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    ASSERT_TRUE(QueryServiceConfigW(service.get(), config, needed, &needed));
    EXPECT_EQ(config->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(config->dwErrorControl, static_cast<DWORD>(SERVICE_ERROR_IGNORE));
    EXPECT_EQ(std::wstring(config->lpBinaryPathName), L"\"" + program.wstring() + L"\"");
    EXPECT_EQ(std::wstring(config->lpDisplayName), name);
    EXPECT_EQ(std::wstring(config->lpServiceStartName), L"LocalSystem");
}

// Removes a test's folder, and its parent once that is empty. A service's process may still
// be ending: its files go when it has.
inline void remove_folder(const std::filesystem::path& folder) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::error_code failure;
        std::filesystem::remove_all(folder, failure);
        if (!failure) {
            break;
        }
        Sleep(50);
    }
    std::error_code ignored;
    std::filesystem::remove(folder.parent_path(), ignored); // only once empty
}

inline const std::wstring event_source_key =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Tarnwick AntiARP";

// Whether the key at `path` under HKEY_LOCAL_MACHINE exists.
inline bool key_exists(const std::wstring& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

// The Application log's source "Tarnwick AntiARP" takes errors, warnings and information, and
// its texts come from the program's own message table: each event shows its one string.
inline void expect_event_source(const std::filesystem::path& program) {
    wchar_t file[MAX_PATH] = {};
    DWORD bytes = sizeof file;
    ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, event_source_key.c_str(), L"EventMessageFile",
                           RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, file, &bytes),
              ERROR_SUCCESS);
    EXPECT_EQ(std::wstring(file), program.wstring());
    DWORD types = 0;
    bytes = sizeof types;
    ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, event_source_key.c_str(), L"TypesSupported",
                           RRF_RT_REG_DWORD, nullptr, &types, &bytes),
              ERROR_SUCCESS);
    EXPECT_EQ(types, static_cast<DWORD>(EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE |
                                        EVENTLOG_INFORMATION_TYPE));

    const HMODULE messages = LoadLibraryExW(file, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(messages, nullptr) << GetLastError();
    for (const DWORD id : {0x40000001u, 0x80000002u, 0xC0000003u}) {
        const wchar_t* line = L"[0]ARP Error [50] Request not supported.";
        const DWORD_PTR arguments[] = {reinterpret_cast<DWORD_PTR>(line)};
        wchar_t text[256] = {};
        const DWORD length = FormatMessageW(
            FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, messages, id, 0, text, 256,
            reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(arguments)));
        EXPECT_EQ(std::wstring(text, length), std::wstring(line) + L"\r\n") << std::hex << id;
    }
    FreeLibrary(messages);
}

} // namespace wine_test
