#include "bench_documents.h"

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

namespace bench {
namespace {

// xorshift64*: small, fast and identical everywhere.
class Random {
public:
    explicit Random(std::uint64_t seed) : state(seed ? seed : 0x9E3779B97F4A7C15ull) {}

    std::uint64_t Next() {
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        return state * 2685821657736338717ull;
    }
    // Uniform enough for picking among a few hundred choices.
    unsigned Below(unsigned n) { return static_cast<unsigned>((Next() >> 32) % n); }
    unsigned Between(unsigned low, unsigned high) { return low + Below(high - low + 1); }
    bool Percent(unsigned p) { return Below(100) < p; }

    template <class T, std::size_t N>
    const T& Pick(const T (&items)[N]) {
        return items[Below(static_cast<unsigned>(N))];
    }

private:
    std::uint64_t state;
};

std::string Number(unsigned value) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%u", value);
    return buffer;
}

// ---------------------------------------------------------------------------
// Manifest

const char* const kNoteItems[] = {
    "修复了在部分电脑上启动时程序崩溃的问题",
    "优化了大文件的下载速度，断点续传更加稳定",
    "新增繁体中文与英文界面，可在设置中切换",
    "改进了与旧版本数据文件的兼容性",
    "提升了项目列表在数千条记录时的滚动流畅度",
    "修正了打印预览中表格边框错位的排版错误",
    "调整了设置窗口的布局，常用选项放在首页",
    "降低了长时间运行后的内存占用",
    "解决了使用网络代理时无法登录账户的问题",
    "增强了安装包的数字签名校验，防止文件被篡改",
    "修复了高分辨率屏幕下图标模糊的问题",
    "新增自动备份功能，每天首次启动时保存一份副本",
    "修复了导出表格时中文文件名出现乱码的问题",
    "优化了启动速度，冷启动时间缩短约三成",
    "修正了部分快捷键在输入法开启时失效的问题",
    "改善了在低配置电脑上的界面响应速度",
};

const char* const kNoteDetails[] = {
    "详见帮助文档",
    "感谢用户反馈",
    "仅限专业版",
    "需要重新启动程序",
    "Windows 7 及以上",
};

std::string Version(unsigned index) {
    return Number(1 + index / 4000) + "." + Number(index / 100 % 40) + "." + Number(index % 100);
}

std::string ReleaseNotes(Random& random, const std::string& newVer, bool cdata) {
    std::string notes;
    notes += "Qelda ";
    notes += newVer;
    notes += " 更新说明：";
    const unsigned items = random.Between(2, 4);
    for (unsigned i = 1; i <= items; ++i) {
        notes += "\n";
        notes += Number(i);
        notes += "、";
        notes += random.Pick(kNoteItems);
        if (random.Percent(30)) {
            // Raw markup characters inside CDATA, escaped ones elsewhere.
            notes += cdata ? " <" : " &lt;";
            notes += random.Pick(kNoteDetails);
            notes += cdata ? ">" : "&gt;";
        }
        if (random.Percent(15))
            notes += cdata ? "（R&D 部门 & 测试组）" : "（R&amp;D 部门 &amp; 测试组）";
        notes += "。";
    }
    notes += "\n";
    return notes;
}

}  // namespace

std::string MakeManifest(int records, std::uint64_t seed) {
    Random random(seed);
    std::string out;
    out.reserve(static_cast<std::size_t>(records) * 560 + 256);
    out += "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";
    out += "<!-- Qelda update manifest -->\n";
    out += "<UpdateList product=\"Qelda\" vendor=\"Brenvik\">\n";
    for (int r = 0; r < records; ++r) {
        const unsigned index = static_cast<unsigned>(r);
        const std::string oldVer = Version(index);
        const std::string newVer = Version(index + 1 + random.Below(3));
        const bool full = random.Percent(20);
        const bool cdata = random.Percent(20);

        out += "  <Update>\n    <OldVer>";
        out += oldVer;
        out += "</OldVer>\n    <NewVer>";
        out += newVer;
        out += "</NewVer>\n    <NetUrl>http://update.brenvik.com/client/packages/Qelda_";
        out += newVer;
        if (full) {
            out += "_full";
        } else {
            out += "_from_";
            out += oldVer;
        }
        out += ".zip</NetUrl>\n    ";
        switch (random.Below(8)) {
        case 0: out += "<LocalPath>System</LocalPath>"; break;
        case 1: out += "<LocalPath/>"; break;
        default: out += "<LocalPath></LocalPath>"; break;
        }
        out += "\n    <UpdateInfo>";
        if (cdata) out += "<![CDATA[";
        out += ReleaseNotes(random, newVer, cdata);
        if (cdata) out += "]]>";
        out += "    </UpdateInfo>\n    <InfoUrl>http://www.brenvik.com/qelda/notes.html?ver=";
        out += newVer;
        out += "&amp;from=";
        out += oldVer;
        out += "&amp;lang=zh-CN</InfoUrl>\n    <IsUpdate>";
        out += random.Percent(90) ? "1" : "0";
        out += "</IsUpdate>\n  </Update>\n";
    }
    out += "</UpdateList>\n";
    return out;
}

// ---------------------------------------------------------------------------
// General document

namespace {

const char* const kElementNames[] = {
    "section", "item", "para", "entry", "b", "i", "link", "note",
    "data", "x:ref", "meta-info", "row_2", "条目", "Cell", "span", "quote",
};

const char* const kAttributeNames[] = {
    "id", "class", "href", "title", "data-x", "xml:lang", "alt", "style", "kind", "标签",
};
constexpr unsigned kAttributeNameCount = sizeof kAttributeNames / sizeof kAttributeNames[0];

// Values for either quote kind: no quotes, no '<'.
const char* const kPlainValues[] = {
    "main", "x>y", "a > b > c", "http://www.brenvik.com/qelda/", "中文说明",
    "R&amp;D", "&lt;tag&gt;", "width: 100%; height: 2em", "", "42", "/", "a=b",
    "1 &#x4E2D; 2", "path/to/", "&#20013;&#25991;",
};
// Values that need a particular quote kind.
const char* const kDoubleQuotedOnly[] = { "it's", "don't > stop", "'single' inside" };
const char* const kSingleQuotedOnly[] = { "say \"hi\"", "\"x>y\"", "a \"b\" c" };

const char* const kTextPieces[] = {
    "Plain words in a sentence", "混合内容的中文文本", "a &amp; b", "x &lt; y",
    "y &gt; x", "z > w", "&#20013;&#x6587;", "&brand;", "tab\there", "quote \" and ' marks",
    "新版本 Qelda 的说明", "&quot;quoted&quot;", "trailing ", " leading",
};

const char* const kComments[] = {
    "<!-- a comment -->",
    "<!-- holds <b>markup</b> and a > sign -->",
    "<!--中文注释-->",
    "<!---->",
    "<!-- 'quotes' and \"more quotes\" -->",
};

const char* const kCdataSections[] = {
    "<![CDATA[if (a < b && c > d) { return; }]]>",
    "<![CDATA[<fake attr='1'/> </not-an-end>]]>",
    "<![CDATA[]]>",
    "<![CDATA[中文 <内容> & 符号]]>",
};

const char* const kProcessingInstructions[] = {
    "<?render mode=\"fast\"?>",
    "<?layout when='a>b' then=\"c\"?>",
    "<?page-break?>",
    "<?note 中文 > 说明?>",
};

class GenericWriter {
public:
    GenericWriter(std::string& out, Random& random) : out(out), random(random) {}

    void Attributes() {
        unsigned order[kAttributeNameCount];
        for (unsigned i = 0; i < kAttributeNameCount; ++i) order[i] = i;
        const unsigned count = random.Below(5);
        for (unsigned i = 0; i < count; ++i) {
            // Partial shuffle: attribute names must not repeat in one tag.
            const unsigned j = i + random.Below(kAttributeNameCount - i);
            const unsigned t = order[i];
            order[i] = order[j];
            order[j] = t;

            out += random.Percent(10) ? "\n    " : " ";
            out += kAttributeNames[order[i]];
            out += random.Percent(10) ? " = " : "=";
            const unsigned kind = random.Below(10);
            if (kind == 0) {
                out += '"';
                out += random.Pick(kDoubleQuotedOnly);
                out += '"';
            } else if (kind == 1) {
                out += '\'';
                out += random.Pick(kSingleQuotedOnly);
                out += '\'';
            } else {
                const char quote = random.Percent(50) ? '"' : '\'';
                out += quote;
                out += random.Pick(kPlainValues);
                out += quote;
            }
        }
    }

    void Text() {
        out += random.Pick(kTextPieces);
        if (random.Percent(30)) out += "\n";
    }

    // One element with its subtree; depth limits ordinary nesting.
    void Element(unsigned depth) {
        const char* name = random.Pick(kElementNames);
        out += '<';
        out += name;
        Attributes();
        if (random.Percent(15)) {
            out += random.Percent(50) ? "/>" : " />";
            return;
        }
        out += '>';
        const unsigned children = depth < 3 ? random.Between(2, 7) : depth < 7 ? random.Below(4) : 0;
        for (unsigned c = 0; c < children; ++c) {
            const unsigned kind = random.Below(100);
            if (kind < 40) Text();
            else if (kind < 80) Element(depth + 1);
            else if (kind < 87) out += random.Pick(kComments);
            else if (kind < 93) out += random.Pick(kCdataSections);
            else if (kind < 97) out += random.Pick(kProcessingInstructions);
            else out += "\n  ";
        }
        out += "</";
        out += name;
        out += '>';
    }

    // A chain of `levels` nested elements with a little mixed content at
    // every level, closed in reverse.
    void DeepChain(unsigned levels) {
        std::vector<const char*> names;
        names.reserve(levels);
        for (unsigned l = 0; l < levels; ++l) {
            const char* name = random.Pick(kElementNames);
            names.push_back(name);
            out += '<';
            out += name;
            if (random.Percent(30)) {
                out += " level='";
                out += Number(l);
                out += '\'';
            }
            out += '>';
            if (random.Percent(20)) Text();
        }
        Element(7);
        for (unsigned l = levels; l-- > 0;) {
            if (random.Percent(15)) out += random.Pick(kTextPieces);
            out += "</";
            out += names[l];
            out += '>';
        }
    }

private:
    std::string& out;
    Random& random;
};

}  // namespace

std::string MakeGenericDocument(std::size_t targetBytes, std::uint64_t seed) {
    Random random(seed);
    std::string out;
    out.reserve(targetBytes + 64 * 1024);
    out +=
        "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
        "<!DOCTYPE catalog [\n"
        "  <!ELEMENT catalog ANY>\n"
        "  <!ELEMENT item ANY>\n"
        "  <!ATTLIST item kind CDATA \"plain>text\" note CDATA 'it&apos;s'>\n"
        "  <!ENTITY brand \"Brenvik\">\n"
        "  <!ENTITY product 'Qelda &amp; friends'>\n"
        "  <!NOTATION png SYSTEM \"image/png\">\n"
        "  <!-- the subset may hold comments with <tags> and > signs -->\n"
        "  <?subset-note keep > going?>\n"
        "]>\n"
        "<!-- generated benchmark document -->\n"
        "<catalog xmlns:x=\"urn:x\" version='2'>\n";
    GenericWriter writer(out, random);
    while (out.size() < targetBytes) {
        if (random.Below(60) == 0)
            writer.DeepChain(random.Between(150, 450));
        else
            writer.Element(1);
        out += '\n';
    }
    out += "</catalog>\n<!-- end -->\n";
    return out;
}

}  // namespace bench
