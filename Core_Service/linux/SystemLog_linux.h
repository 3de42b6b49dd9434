// Linux: where the journal's native entries go, for tests that take them in place of the
// journal.
#pragma once

#include <string>

namespace Core_Service {

// The socket the entries are sent to, from the next line on: the journal's own
// (/run/systemd/journal/socket) unless a test names another.
void UseJournalSocket(const std::string& path);

} // namespace Core_Service
