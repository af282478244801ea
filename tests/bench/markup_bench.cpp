// markup_bench: MarkupDocument::Parse against pugixml, expat and libxml2 on
// the same generated documents, in one run.
//
// Every parser reads from memory: MarkupDocument from the UTF-16 text (the
// conversion happens before timing), the others from the UTF-8 bytes. Rates
// are always computed on the UTF-8 byte count, so MB/s compares like with
// like. Times are CPU time per document; each iteration builds and destroys
// the parser's whole result (document, tree or parser object).
//
// Before anything is timed, every parser's element count is checked against
// MarkupDocument's; any difference aborts the program.
//
// Extra flag (besides the --benchmark_* ones):
//   --doc_scale=F   document sizes times F (default 1: about 10 MB each);
//                   small values make short profiling runs.

#include <benchmark/benchmark.h>
#include <expat.h>
#include <libxml/parser.h>
#include <libxml/xmlreader.h>
#include <pugixml.hpp>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <unistd.h>

#include "CString.h"
#include "MarkupDocument.h"
#include "bench_documents.h"

namespace {

constexpr std::uint64_t kSeed = 20240601;
constexpr int kManifestRecords = 20000;
constexpr std::size_t kGenericBytes = 10u * 1000u * 1000u;

struct Document {
    std::string name;
    std::string utf8;
    std::u16string utf16;
    long long elements = 0;        // agreed by every parser
    long long maxDepth = 0;
    std::size_t tableBytes = 0;    // MarkupDocument::TableBytes() after one fresh parse
};

const char* const kParsers[] = {"markup", "pugixml", "expat", "libxml2-dom", "libxml2-sax", "libxml2-reader"};

[[noreturn]] void Fail(const std::string& message) {
    std::fprintf(stderr, "\nmarkup_bench: SANITY CHECK FAILED: %s\n", message.c_str());
    std::fflush(stderr);
    std::abort();
}

// ---------------------------------------------------------------------------
// Parsers, each as one complete parse of the document.

bool ParseMarkup(const Document& doc, long long* elements, std::size_t* tableBytes) {
    MarkupDocument markup;
    const bool wellFormed = markup.Parse(doc.utf16);
    if (elements) *elements = markup.UsedCount() - 1;
    if (tableBytes) *tableBytes = markup.TableBytes();
    if (!wellFormed && elements)
        std::fprintf(stderr, "markup: %s\n", Utf16ToUtf8(markup.ErrorText()).c_str());
    return wellFormed;
}

void CountPugiElements(const pugi::xml_node& root, long long* elements, long long* maxDepth) {
    // Iterative walk: the chains are deeper than a comfortable recursion.
    long long depth = 0;
    pugi::xml_node node = root.first_child();
    while (node) {
        if (node.type() == pugi::node_element) {
            ++*elements;
            if (depth + 1 > *maxDepth) *maxDepth = depth + 1;
        }
        if (node.first_child()) {
            node = node.first_child();
            ++depth;
            continue;
        }
        while (node && !node.next_sibling()) {
            node = node.parent();
            --depth;
            if (node == root) return;
        }
        if (node) node = node.next_sibling();
    }
}

bool ParsePugi(const Document& doc, long long* elements, long long* maxDepth) {
    pugi::xml_document tree;
    const pugi::xml_parse_result result = tree.load_buffer(doc.utf8.data(), doc.utf8.size());
    if (!result) {
        std::fprintf(stderr, "pugixml: %s at offset %lld\n", result.description(),
                     static_cast<long long>(result.offset));
        return false;
    }
    if (elements) CountPugiElements(tree, elements, maxDepth);
    return true;
}

void XMLCALL ExpatStart(void* user, const XML_Char*, const XML_Char**) { ++*static_cast<long long*>(user); }
void XMLCALL ExpatEnd(void* user, const XML_Char*) { (void)user; }

bool ParseExpat(const Document& doc, long long* elements) {
    long long count = 0;
    XML_Parser parser = XML_ParserCreate(nullptr);
    XML_SetUserData(parser, &count);
    XML_SetElementHandler(parser, ExpatStart, ExpatEnd);
    const bool ok = XML_Parse(parser, doc.utf8.data(), static_cast<int>(doc.utf8.size()), 1) == XML_STATUS_OK;
    if (!ok)
        std::fprintf(stderr, "expat: %s at line %lu\n", XML_ErrorString(XML_GetErrorCode(parser)),
                     static_cast<unsigned long>(XML_GetCurrentLineNumber(parser)));
    XML_ParserFree(parser);
    if (elements) *elements = count;
    return ok;
}

// XML_PARSE_HUGE lifts libxml2's default nesting limit of 256 levels, which the
// chains of the general document exceed; it changes nothing else measured here.
constexpr int kLibxmlOptions = XML_PARSE_HUGE | XML_PARSE_NONET;

long long CountLibxmlElements(xmlNodePtr node) {
    long long count = 0;
    while (node) {
        if (node->type == XML_ELEMENT_NODE) ++count;
        // Only elements are entered: an entity reference's children lead into
        // the DTD's declaration, and from there back into the document.
        if (node->type == XML_ELEMENT_NODE && node->children) {
            node = node->children;
            continue;
        }
        while (node && !node->next) {
            node = node->parent;
            if (node && node->type == XML_DOCUMENT_NODE) return count;
        }
        if (node) node = node->next;
    }
    return count;
}

bool ParseLibxmlDom(const Document& doc, long long* elements) {
    xmlDocPtr tree = xmlReadMemory(doc.utf8.data(), static_cast<int>(doc.utf8.size()), "bench.xml",
                                   nullptr, kLibxmlOptions);
    if (!tree) return false;
    if (elements) *elements = CountLibxmlElements(tree->children);
    xmlFreeDoc(tree);
    return true;
}

void LibxmlSaxStart(void* ctx, const xmlChar*, const xmlChar*, const xmlChar*, int, const xmlChar**, int, int,
                    const xmlChar**) {
    xmlParserCtxtPtr parser = static_cast<xmlParserCtxtPtr>(ctx);
    ++*static_cast<long long*>(parser->_private);
}

bool ParseLibxmlSax(const Document& doc, long long* elements) {
    long long count = 0;
    xmlSAXHandler handler;
    std::memset(&handler, 0, sizeof handler);
    handler.initialized = XML_SAX2_MAGIC;
    handler.startElementNs = LibxmlSaxStart;
    xmlParserCtxtPtr parser = xmlCreatePushParserCtxt(&handler, nullptr, nullptr, 0, "bench.xml");
    if (!parser) return false;
    parser->_private = &count;
    xmlCtxtUseOptions(parser, kLibxmlOptions);
    xmlParseChunk(parser, doc.utf8.data(), static_cast<int>(doc.utf8.size()), 1);
    const bool ok = parser->wellFormed != 0;
    xmlFreeParserCtxt(parser);
    if (elements) *elements = count;
    return ok;
}

bool ParseLibxmlReader(const Document& doc, long long* elements) {
    xmlTextReaderPtr reader = xmlReaderForMemory(doc.utf8.data(), static_cast<int>(doc.utf8.size()), "bench.xml",
                                                 nullptr, kLibxmlOptions);
    if (!reader) return false;
    long long count = 0;
    int status;
    while ((status = xmlTextReaderRead(reader)) == 1)
        if (xmlTextReaderNodeType(reader) == XML_READER_TYPE_ELEMENT) ++count;
    xmlFreeTextReader(reader);
    if (elements) *elements = count;
    return status == 0;
}

bool ParseWith(const std::string& parser, const Document& doc, long long* elements) {
    if (parser == "markup") return ParseMarkup(doc, elements, nullptr);
    if (parser == "pugixml") {
        long long depth = 0;
        if (elements) *elements = 0;
        return ParsePugi(doc, elements, &depth);
    }
    if (parser == "expat") return ParseExpat(doc, elements);
    if (parser == "libxml2-dom") return ParseLibxmlDom(doc, elements);
    if (parser == "libxml2-sax") return ParseLibxmlSax(doc, elements);
    if (parser == "libxml2-reader") return ParseLibxmlReader(doc, elements);
    Fail("unknown parser " + parser);
}

// ---------------------------------------------------------------------------
// Untimed check: all parsers accept the document and agree on its elements.

void CheckDocument(Document& doc) {
    long long markupElements = 0;
    if (!ParseMarkup(doc, &markupElements, &doc.tableBytes))
        Fail("MarkupDocument finds the " + doc.name + " document ill-formed");
    long long pugiElements = 0;
    if (!ParsePugi(doc, &pugiElements, &doc.maxDepth)) Fail("pugixml rejects the " + doc.name + " document");
    if (markupElements != pugiElements)
        Fail(doc.name + ": MarkupDocument has " + std::to_string(markupElements) + " elements, pugixml " +
             std::to_string(pugiElements));
    for (const char* parser : kParsers) {
        long long count = 0;
        if (!ParseWith(parser, doc, &count)) Fail(std::string(parser) + " rejects the " + doc.name + " document");
        if (count != markupElements)
            Fail(doc.name + ": " + parser + " has " + std::to_string(count) + " elements, MarkupDocument " +
                 std::to_string(markupElements));
    }
    doc.elements = markupElements;
}

// ---------------------------------------------------------------------------
// Timed runs.

void RunParser(benchmark::State& state, const Document* doc, std::string parser) {
    bool ok = true;
    if (parser == "markup") {
        for (auto _ : state) {
            MarkupDocument markup;
            ok &= markup.Parse(doc->utf16);
            benchmark::DoNotOptimize(markup.UsedCount());
        }
        state.counters["rec_B/elem"] = static_cast<double>(sizeof(ElementRecord));
        state.counters["table_B/elem"] = static_cast<double>(doc->tableBytes) / static_cast<double>(doc->elements);
    } else if (parser == "pugixml") {
        for (auto _ : state) {
            pugi::xml_document tree;
            ok &= static_cast<bool>(tree.load_buffer(doc->utf8.data(), doc->utf8.size()));
            benchmark::DoNotOptimize(tree.first_child());
        }
    } else {
        for (auto _ : state) ok &= ParseWith(parser, *doc, nullptr);
    }
    if (!ok) state.SkipWithError("parse failed");
    state.counters["MB/s"] = benchmark::Counter(static_cast<double>(doc->utf8.size()) / 1e6,
                                                benchmark::Counter::kIsIterationInvariantRate);
    state.counters["elements"] = static_cast<double>(doc->elements);
}

// Keeps the console output and remembers CPU seconds per document of every
// benchmark (the median when repetitions are asked for) for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    // A reporter passed in is not set up from --benchmark_color; colour only
    // on a terminal keeps logs clean.
    SummaryReporter() : ConsoleReporter(isatty(fileno(stdout)) ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            const double seconds = run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
            const std::string& name = run.run_name.function_name;
            if (run.run_type == Run::RT_Aggregate) {
                if (run.aggregate_name == "median") medians[name] = seconds;
            } else {
                samples[name].push_back(seconds);
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // Seconds per document, or 0 when the benchmark did not run.
    double Seconds(const std::string& name) const {
        auto median = medians.find(name);
        if (median != medians.end()) return median->second;
        auto found = samples.find(name);
        if (found == samples.end() || found->second.empty()) return 0;
        std::vector<double> values = found->second;
        std::sort(values.begin(), values.end());
        return values[values.size() / 2];
    }

private:
    std::map<std::string, double> medians;
    std::map<std::string, std::vector<double>> samples;
};

std::string BenchmarkName(const Document& doc, const char* parser) { return "parse/" + doc.name + "/" + parser; }

void PrintSummary(const std::vector<Document>& docs, const SummaryReporter& reporter) {
    std::printf("\n--- summary (CPU time per document; MB/s over the UTF-8 size; x = pugixml time / this time)\n");
    for (const Document& doc : docs) {
        std::printf("\n%s: %.2f MB UTF-8, %zu UTF-16 units, %lld elements, nesting up to %lld\n", doc.name.c_str(),
                    static_cast<double>(doc.utf8.size()) / 1e6, doc.utf16.size(), doc.elements, doc.maxDepth);
        const double pugi = reporter.Seconds(BenchmarkName(doc, "pugixml"));
        std::printf("  %-16s %10s %10s %10s\n", "parser", "ms/doc", "MB/s", "x pugixml");
        for (const char* parser : kParsers) {
            const double seconds = reporter.Seconds(BenchmarkName(doc, parser));
            if (seconds <= 0) continue;
            const double rate = static_cast<double>(doc.utf8.size()) / 1e6 / seconds;
            if (pugi > 0)
                std::printf("  %-16s %10.2f %10.1f %9.2fx\n", parser, seconds * 1e3, rate, pugi / seconds);
            else
                std::printf("  %-16s %10.2f %10.1f %10s\n", parser, seconds * 1e3, rate, "-");
        }
        std::printf("  markup element table: %zu B per record, %.1f B per element allocated (%zu B for %lld)\n",
                    sizeof(ElementRecord), static_cast<double>(doc.tableBytes) / static_cast<double>(doc.elements),
                    doc.tableBytes, doc.elements);
    }
    std::printf("\n");
    for (const Document& doc : docs) {
        const double ours = reporter.Seconds(BenchmarkName(doc, "markup"));
        const double pugi = reporter.Seconds(BenchmarkName(doc, "pugixml"));
        if (ours > 0 && pugi > 0) std::printf("markup vs pugixml (%s): %.2fx\n", doc.name.c_str(), pugi / ours);
    }
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    double scale = 1.0;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--doc_scale=", 12) == 0) {
            scale = std::atof(argv[i] + 12);
            if (!(scale > 0)) {
                std::fprintf(stderr, "markup_bench: bad %s\n", argv[i]);
                return 2;
            }
        } else {
            std::fprintf(stderr, "markup_bench: unknown argument %s\n", argv[i]);
            return 2;
        }
    }
    xmlInitParser();

    std::vector<Document> docs(2);
    docs[0].name = "manifest";
    docs[0].utf8 = bench::MakeManifest(static_cast<int>(kManifestRecords * scale), kSeed);
    docs[1].name = "generic";
    docs[1].utf8 = bench::MakeGenericDocument(static_cast<std::size_t>(kGenericBytes * scale), kSeed + 1);
    for (Document& doc : docs) {
        doc.utf16 = Utf8ToUtf16(doc.utf8);
        CheckDocument(doc);
        std::printf("%s: %.2f MB UTF-8, %lld elements, all parsers agree\n", doc.name.c_str(),
                    static_cast<double>(doc.utf8.size()) / 1e6, doc.elements);
    }
    std::fflush(stdout);

    for (const Document& doc : docs)
        for (const char* parser : kParsers)
            benchmark::RegisterBenchmark(BenchmarkName(doc, parser).c_str(), RunParser, &doc, std::string(parser))
                ->Unit(benchmark::kMillisecond);

    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    PrintSummary(docs, reporter);
    benchmark::Shutdown();
    xmlCleanupParser();
    return 0;
}
