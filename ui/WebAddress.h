// The one rule for addresses the updater hands to the network or the shell:
// the package address, the update-log link, an administrator's manifest
// address. Portable: no Windows API, so that the rule is tested natively too.
#pragma once

#include <string>

// True for an absolute web address: "http://" or "https://" (any letter
// case), then a host, then optionally a port, a path, a query, a fragment.
// Refused: any other scheme (file:, a URL scheme of some program), a path, a
// UNC name, a relative address, an empty host, and anywhere any control
// character, blank (of any script), invisible or reordering mark, or
// backslash: a shell or a person could read those as another address.
bool IsWebAddress(const std::u16string& address);
