// update-tool keygen PRIVATE: a new P-256 key; the private half into a new
// owner-only file, the public half printed for the build.
// update-tool sign --key PRIVATE --version V ZIP: signs a package in place.
// update-tool sign-manifest --key PRIVATE --valid-days N [--signed-at T]
// MANIFEST: signs a manifest in place.
#pragma once

#include <string>
#include <vector>

#include "Tool.h"

extern const ToolCommand kKeygenCommand;
extern const ToolCommand kSignCommand;
extern const ToolCommand kSignManifestCommand;

int RunKeygenCommand(const std::vector<std::string>& args, ToolContext& context);
int RunSignCommand(const std::vector<std::string>& args, ToolContext& context);
int RunSignManifestCommand(const std::vector<std::string>& args, ToolContext& context);
