// The publisher's public key compiled into this executable, or none. Kept in
// a file of its own, compiled with each executable, so that one build can
// make updaters with different keys (UPDATE_PUBLIC_KEY).
#include "PublisherKey.h"

#ifndef UPDATE_PUBLIC_KEY
#define UPDATE_PUBLIC_KEY ""
#endif

const char kPublisherKey[] = UPDATE_PUBLIC_KEY;
