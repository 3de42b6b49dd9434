// The security descriptors of files, folders and kernel objects, read for the portable judgement
// of who may change them (Core_Common/ObjectSecurity.h).
#pragma once

#include "Core_Common/ObjectSecurity.h"
#include "Core_Common/win/ScopedHandle_win.h"
#include "Core_Common/win/WinApi.h"

#include <cstdint>
#include <string>
#include <vector>

namespace Core_Common {

// The account a SID names; `process_user` for the account of the process's own token.
Account account_of(PSID sid);

// The owner, the access list and whether it is a link, of the file or folder at `path` (a link
// itself, not what it leads to). False with the system's code when they cannot be read.
bool read_file_security(const std::wstring& path, ObjectSecurity& object, std::uint32_t& error);

// The file or folder at `path`, then each folder above it up to its root.
bool read_path_chain(const std::wstring& path, std::vector<ObjectSecurity>& chain,
                     std::uint32_t& error);

// A security descriptor from the system's text form (SDDL); empty when the text is not one.
ScopedLocalMemory security_descriptor(const wchar_t* text);

// Security attributes for making an object with the descriptor of that text; null (default
// security) when the text could not be read.
class SecurityAttributes {
public:
    explicit SecurityAttributes(const wchar_t* text) : descriptor_(security_descriptor(text)) {
        attributes_ = {sizeof attributes_, descriptor_.get(), FALSE};
    }
    SECURITY_ATTRIBUTES* get() { return descriptor_ ? &attributes_ : nullptr; }

private:
    ScopedLocalMemory descriptor_;
    SECURITY_ATTRIBUTES attributes_{};
};

// The owner of a kernel object (a mutex, for example); `other` when it has none or it cannot be
// read.
Account owner_of(HANDLE object);

} // namespace Core_Common
