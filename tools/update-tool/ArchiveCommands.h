// update-tool package and update-tool extract: the updater's archive reader
// and install engine, for the people who publish packages.
//
// package lists every entry of a ZIP package (name, size, compressed size,
// method) and says whether the updater would install it or refuse it and why.
// It runs the same checks the install engine runs before it touches anything,
// and inflates every entry to check sizes and CRC-32 values, writing nothing.
// With --public-key it also checks the signature (--version only with it).
// A delta package (DeltaPackage.h) is described too: which files its patches
// rebuild and from what, how many it stores whole, which it removes, and the
// bytes of each; installable then means well formed (whether it fits an
// installation shows only there).
//   exit 0 installable (and validly signed, for the version when given),
//   3 refused (also a file that is no ZIP archive or whose central directory
//   is damaged, and one not validly signed), 1 the file cannot be opened or
//   read or the output cannot be written, 2 usage.
//
// extract installs the package's entries below a folder with the install
// engine, all or nothing, exactly as the updater does (a missing folder is
// created first and removed again when nothing is installed).
//   exit 0 installed, 3 refused, also a delta package made for other files
//   (folder unchanged), 1 file in use, package unreadable or I/O error (folder
//   unchanged), 2 usage; the reason is one line on stderr.
//
// Names stored without the UTF-8 flag are decoded in the system's OEM code
// page (437 outside Windows) unless --codepage gives another, e.g. 936.
#pragma once

#include <string>
#include <vector>

#include "InstallEngine.h"
#include "Tool.h"

extern const ToolCommand kPackageCommand;
extern const ToolCommand kExtractCommand;

int RunPackageCommand(const std::vector<std::string>& args, ToolContext& context);
int RunExtractCommand(const std::vector<std::string>& args, ToolContext& context);

// The listing and verdict of one opened package, rendered for people or as
// one JSON object; kept apart from the command so that tests need no files.
std::string PackageSummary(CZipArchive& archive, const InstallResult& verdict, const std::string& shownName);
std::string PackageJson(CZipArchive& archive, const InstallResult& verdict, const std::string& shownName);

// "stored", "deflate", "bzip2", ... or "method-N".
std::string MethodName(unsigned method);
