// A small JSON writer for update-tool's machine-readable output.
//
// Builds one document in memory as UTF-8. Texts arrive as UTF-16 and always
// come out as valid JSON: surrogate pairs become one UTF-8 character, an
// unpaired surrogate is written as a \u escape (JSON allows it; UTF-8 cannot
// carry it), and so is every character ShownEscaped names (Tool.h). The
// writer places commas and colons itself; the caller only has to nest
// Begin/End calls properly and give every object member a Key first.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Appends text as a quoted JSON string.
void AppendJsonString(std::string& out, const std::u16string& text);

class JsonWriter {
public:
    void BeginObject();
    void EndObject();
    void BeginArray();
    void EndArray();
    void Key(const char* name);

    void String(const std::u16string& text);
    void Int(std::int64_t value);
    void Bool(bool value);
    void Null();

    // The document so far.
    const std::string& Text() const { return m_out; }

private:
    void BeforeValue();

    std::string m_out;
    std::vector<bool> m_hasMember;  // one entry per open object or array
    bool m_afterKey = false;
};
