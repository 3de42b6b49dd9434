// What the crash guard's platform parts read while the process crashes: fixed buffers only.
#pragma once

#include <cstdint>

namespace Core_Common::crash_settings {

inline constexpr std::uint32_t display_name_units = 256;
inline constexpr std::uint32_t directory_units = 520;

// Zero-terminated; never null.
const wchar_t* display_name();
const wchar_t* directory(); // empty: the executable's folder

struct context_texts {
    const wchar_t* status;
    const wchar_t* mode;
    const wchar_t* web_frame;
    std::uint32_t message_id;
};
context_texts context();

// Called by the setters after a change; the platform part prepares what it needs (Linux
// keeps ready-made narrow paths, since its signal handler cannot convert).
void settings_changed();

} // namespace Core_Common::crash_settings
