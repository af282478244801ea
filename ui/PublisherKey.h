// The publisher's public key built into Update.exe: the line update-tool
// keygen printed, or empty for an updater that installs unsigned packages.
#pragma once

extern const char kPublisherKey[];

