// update-tool manifest: reads a manifest file the way the updater reads the
// downloaded manifest (MarkupDocument, ReadManifest, SelectUpdateInfo,
// IsNewerVersion) and reports what the updater would see: whether the markup
// is well formed or its first problem, every record, and for a given
// installed version the record chosen and whether an update would be offered.
// With --public-key also its signature (ManifestSignature.h) against the
// system clock: exit 3 when it is not valid.
//
// The analysis and the two renderings (readable text, one JSON object) are
// separate functions so that they can be tested and fuzzed without files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "CString.h"
#include "ManifestSignature.h"
#include "Tool.h"
#include "UpdateInfo.h"

extern const ToolCommand kManifestCommand;

int RunManifestCommand(const std::vector<std::string>& args, ToolContext& context);

struct ManifestOptions {
    bool json = false;
    bool elements = false;
    bool strict = false;
    bool hasInstalled = false;
    CString installed;
    bool checkSignature = false;  // with the keys of --public-key
    std::vector<EcdsaPublicKey> keys;
};

// One row of the parser's element table.
struct ElementRow {
    std::int32_t index = 0;
    std::u16string name;  // the tag word the updater's name search compares
    std::uint32_t start = 0;
    std::uint32_t length = 0;
    std::int32_t startTagLength = 0;
    std::int32_t endTagLength = 0;
    std::uint32_t parent = 0;
    std::uint32_t firstChild = 0;
    std::uint32_t nextSibling = 0;
    std::uint32_t prevSibling = 0;
};

struct ManifestReport {
    bool wellFormed = false;
    std::u16string error;             // the parser's first problem; empty when none
    UpdateInfoArray records;
    std::vector<ElementRow> elements;  // filled only with options.elements
    std::ptrdiff_t selectedIndex = -1; // with options.hasInstalled; -1 when nothing is selected
    UPDATE_INFO selected;
    bool offer = false;
    ManifestSignatureCheck signature;  // with options.checkSignature, filled by the caller
};

ManifestReport AnalyseManifest(const std::u16string& text, const ManifestOptions& options);

// One JSON object and a line break.
std::string ManifestJson(const ManifestReport& report, const ManifestOptions& options);

// Readable summary; source describes the input (name, encoding, size).
std::string ManifestSummary(const ManifestReport& report, const ManifestOptions& options, const std::string& source);
