// The publisher's keys of this executable, as the updater uses them.
#pragma once

#include <vector>

#include "PackageSignature.h"
#include "PublisherKey.h"

// The publisher's keys built in (one or more, for a rotation), if any: then
// only packages and manifests one of them signed are used. An unreadable key
// text stands for a key that verifies nothing: nothing unsigned gets through.
inline bool PublisherKeys(std::vector<EcdsaPublicKey>& keys) {
    if (kPublisherKey[0] == '\0') return false;
    if (!ParsePublicKeys(kPublisherKey, keys)) keys.assign(1, EcdsaPublicKey{});
    return true;
}
