#include "Core_Common/CrashGuard.h"

#include "Core_Common/CrashReport.h"
#include "Core_Common/CrashSettings.h"

#include <atomic>

namespace Core_Common {
namespace {

crash_report::fixed_text<crash_settings::display_name_units> display_name_text;
crash_report::fixed_text<crash_settings::directory_units> directory_text;

std::atomic<const wchar_t*> context_status{nullptr};
std::atomic<const wchar_t*> context_mode{nullptr};
std::atomic<const wchar_t*> context_web_frame{nullptr};
std::atomic<std::uint32_t> context_message_id{0};

} // namespace

void set_program_display_name(const std::wstring& name) {
    display_name_text.clear();
    display_name_text.append(name.c_str());
    crash_settings::settings_changed();
}

std::wstring program_display_name() { return display_name_text.c_str(); }

void set_crash_directory(const std::wstring& directory) {
    directory_text.clear();
    directory_text.append(directory.c_str());
    crash_settings::settings_changed();
}

std::wstring crash_directory() { return directory_text.c_str(); }

void set_crash_context(const wchar_t* status, const wchar_t* mode, const wchar_t* webFrame,
                       std::uint32_t messageId) {
    context_status = status;
    context_mode = mode;
    context_web_frame = webFrame;
    context_message_id = messageId;
}

namespace crash_settings {

const wchar_t* display_name() { return display_name_text.c_str(); }

const wchar_t* directory() { return directory_text.c_str(); }

context_texts context() {
    return {context_status.load(), context_mode.load(), context_web_frame.load(),
            context_message_id.load()};
}

} // namespace crash_settings

} // namespace Core_Common
