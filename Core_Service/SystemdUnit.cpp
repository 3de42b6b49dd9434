#include "Core_Service/SystemdUnit.h"

#include "Core_Common/Utility.h"

#include <cstdio>
#include <cwchar>

namespace Core_Service {
namespace {

std::string narrow(const std::wstring& text) {
    return Core_Common::wide_to_narrow(text, Core_Common::code_page_ansi);
}

// One line of a unit: specifiers escaped, nothing that could end the line or continue it.
std::string unit_value(const std::string& text) {
    std::string value;
    for (char c : text) {
        if (c == '%') {
            value += "%%";
        } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            value += ' ';
        } else {
            value += c;
        }
    }
    while (!value.empty() && (value.back() == '\\' || value.back() == ' ')) {
        value.pop_back();
    }
    return value;
}

constexpr const char* description_key = "Description=";

} // namespace

std::string UnitStem(const std::wstring& serviceName) {
    std::string stem;
    for (wchar_t c : serviceName) {
        if (c >= L'A' && c <= L'Z') {
            stem += static_cast<char>(c - L'A' + 'a');
        } else if ((c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9') || c == L'_' || c == L'.' ||
                   c == L'-') {
            stem += static_cast<char>(c);
        } else {
            stem += '-';
        }
    }
    return stem;
}

std::string QuoteUnitPath(const std::string& path) {
    std::string quoted = "\"";
    for (char c : path) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\' || c == '"') {
            quoted += '\\';
            quoted += c;
        } else if (c == '%') {
            quoted += "%%";
        } else if (byte < 0x20 || byte == 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02x", byte);
            quoted += escape;
        } else {
            quoted += c;
        }
    }
    quoted += '"';
    return quoted;
}

std::wstring ExecPathRefusal(const std::wstring& path) {
    const wchar_t* reason = nullptr;
    std::wstring shown;
    for (wchar_t c : path) {
        const auto code = static_cast<char32_t>(c);
        const wchar_t* found = nullptr;
        if (c == L'"' || c == L'\'') {
            found = L"a quote";
        } else if (c == L'\\') {
            found = L"a backslash";
        } else if (code < 0x20 || code == 0x7F) {
            found = L"a control character";
        } else if (code >= 0xD800 && code <= 0xDFFF) {
            // On Linux a byte that is not part of valid UTF-8 (see narrow_to_wide).
            found = L"text that is not UTF-8";
        }
        if (found == nullptr) {
            shown += c;
            continue;
        }
        if (reason == nullptr) {
            reason = found;
        }
        if (c == L'"' || c == L'\'' || c == L'\\') {
            shown += c;
        } else {
            // A control character, or the byte an escaped surrogate stands for.
            const char32_t shown_code = code >= 0xDC80 && code <= 0xDCFF ? code - 0xDC00 : code;
            wchar_t escape[16];
            std::swprintf(escape, sizeof escape / sizeof escape[0], L"\\x%02x",
                          static_cast<unsigned>(shown_code));
            shown += escape;
        }
    }
    if (reason == nullptr) {
        return {};
    }
    return L"systemd does not run a program whose path holds " + std::wstring(reason) + L": " +
           shown;
}

std::string MakeUnitFile(const ServiceDefinition& definition) {
    const std::string stem = UnitStem(definition.serviceName);
    std::string unit = "[Unit]\n";
    unit += description_key + unit_value(narrow(definition.displayName)) + "\n";
    unit += "Documentation=man:antiarp(8)\n";
    for (const auto& dependency : definition.dependencies) {
        const std::string name = UnitStem(dependency) + ".service";
        unit += "Requires=";
        unit += name;
        unit += "\nAfter=";
        unit += name;
        unit += '\n';
    }
    unit += "\n[Service]\n"
            "Type=notify\n"
            "NotifyAccess=main\n";
    unit += "ExecStart=" + QuoteUnitPath(narrow(definition.programPath)) + "\n";
    // After a crash (exit code 100, or a signal) the service comes back within a second, and
    // its start flushes and pins as any start does. Not after exit code 1: the program found
    // it must not run (another run in progress, a replaceable program file), which a retry
    // does not change; nor after 2, a command line that is no switch.
    unit += "Restart=on-failure\n"
            "RestartSec=1s\n"
            "RestartPreventExitStatus=1 2\n";
    // The running lock lives in the runtime directory; the state directory takes what the
    // program writes; the configuration directory (read only) holds the administrator's trusted
    // gateways.
    unit += "RuntimeDirectory=" + stem + "\n";
    unit += "StateDirectory=" + stem + "\n";
    unit += "ConfigurationDirectory=" + stem + "\n";
    unit += "WorkingDirectory=/var/lib/" + stem + "\n";
    // The ARP table and the routing table need CAP_NET_ADMIN, ARP requests CAP_NET_RAW.
    unit += "CapabilityBoundingSet=CAP_NET_ADMIN CAP_NET_RAW\n"
            "NoNewPrivileges=yes\n"
            "ProtectSystem=strict\n"
            "ProtectHome=yes\n"
            "PrivateTmp=yes\n"
            // ProtectSystem=strict leaves /run, the private /tmp and the shared-memory file
            // systems writable: only the state and runtime directories are to be.
            "ReadOnlyPaths=/run /tmp /var/tmp /dev/shm -/dev/mqueue\n"
            "PrivateDevices=yes\n"
            "DevicePolicy=closed\n"
            "ProtectKernelTunables=yes\n"
            "ProtectKernelModules=yes\n"
            "ProtectKernelLogs=yes\n"
            "ProtectControlGroups=yes\n"
            "ProtectClock=yes\n"
            "ProtectHostname=yes\n"
            "ProtectProc=invisible\n"
            "ProcSubset=pid\n"
            "RestrictAddressFamilies=AF_NETLINK AF_PACKET AF_UNIX\n"
            "IPAddressDeny=any\n"
            "RestrictNamespaces=yes\n"
            "RestrictRealtime=yes\n"
            "RestrictSUIDSGID=yes\n"
            "LockPersonality=yes\n"
            "MemoryDenyWriteExecute=yes\n"
            "RemoveIPC=yes\n"
            "KeyringMode=private\n"
            "UMask=0077\n"
            "SystemCallArchitectures=native\n"
            "SystemCallFilter=@system-service\n"
            "SystemCallFilter=~@privileged\n"
            "SystemCallErrorNumber=EPERM\n";
    unit += "\n[Install]\n"
            "WantedBy=multi-user.target\n";
    return unit;
}

std::string WriteUnitDescription(const std::string& unitFile, const std::wstring& description) {
    const std::string line = description_key + unit_value(narrow(description));
    std::string result;
    std::size_t start = 0;
    bool replaced = false;
    while (start < unitFile.size()) {
        std::size_t end = unitFile.find('\n', start);
        end = end == std::string::npos ? unitFile.size() : end + 1;
        const std::string current = unitFile.substr(start, end - start);
        if (!replaced && current.rfind(description_key, 0) == 0) {
            result += line + "\n";
            replaced = true;
        } else {
            result += current;
        }
        start = end;
    }
    return result;
}

} // namespace Core_Service
