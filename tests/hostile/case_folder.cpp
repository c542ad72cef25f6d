#include "case_folder.h"

#include "support/files.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstddef>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace fs = std::filesystem;

namespace hostile {
namespace {

std::string Trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return {};
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

// The alternatives of a `log` value, separated by " || ".
std::vector<std::string> Alternatives(const std::string& value) {
    constexpr std::string_view kSeparator = " || ";
    std::vector<std::string> alternatives;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = value.find(kSeparator, start);
        std::string alternative = Trim(value.substr(start, end == std::string::npos ? end : end - start));
        if (alternative.empty()) throw std::runtime_error("an empty alternative in the log line: " + value);
        alternatives.push_back(std::move(alternative));
        if (end == std::string::npos) return alternatives;
        start = end + kSeparator.size();
    }
}

// True for text that names no more than a stage: "Error loading XML files :".
bool StageOnly(const std::string& text) {
    return text.starts_with("Error ") && text.find(':') == text.size() - 1;
}

double PositiveNumber(const std::string& key, const std::string& value) {
    std::size_t used = 0;
    double number = 0;
    try {
        number = std::stod(value, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != value.size() || !(number > 0)) throw std::runtime_error(key + " needs a positive number: " + value);
    return number;
}

std::string ReadFile(const fs::path& file) {
    std::optional<std::string> bytes = ReadBytes(file);
    if (!bytes) throw std::runtime_error("cannot read " + file.string());
    return *std::move(bytes);
}

// Streams a generated file in large pieces, so a 50 MiB input never sits in memory whole.
class ChunkWriter {
public:
    explicit ChunkWriter(const fs::path& file) : out_(file, std::ios::binary | std::ios::trunc), file_(file) {
        if (!out_) throw std::runtime_error("cannot create " + file.string());
    }
    void Add(const std::string& text) {
        buffer_ += text;
        written_ += text.size();
        if (buffer_.size() >= (1u << 20)) Flush();
    }
    std::size_t Written() const { return written_; }
    void Close() {
        Flush();
        out_.close();
        if (!out_) throw std::runtime_error("cannot write " + file_.string());
    }

private:
    void Flush() {
        out_.write(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
        buffer_.clear();
    }
    std::ofstream out_;
    fs::path file_;
    std::string buffer_;
    std::size_t written_ = 0;
};

constexpr std::size_t kMiB = 1u << 20;

void GenerateCatalog(ChunkWriter& out, std::size_t mib) {
    out.Add("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<catalog>\n");
    for (std::size_t i = 0; out.Written() < mib * kMiB; ++i) {
        // Prices from 5 to 64, so about half the books pass the stylesheet's filter.
        out.Add("  <book id=\"bk" + std::to_string(i) + "\"><author>Author " + std::to_string(i % 997) +
                "</author><title>Title number " + std::to_string(i) + "</title><genre>Fiction</genre><price>" +
                std::to_string(5 + i % 60) + ".95</price><description>A generated book, one of many, " +
                "to make the catalogue large.</description></book>\n");
    }
    out.Add("</catalog>\n");
}

void GenerateText(ChunkWriter& out, std::size_t mib) {
    out.Add("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<catalog>");
    const std::string line = "All of this is one text node, without any markup in between. 0123456789\n";
    std::string chunk;
    while (chunk.size() < kMiB) chunk += line;
    chunk.resize(kMiB);
    for (std::size_t i = 0; i < mib; ++i) out.Add(chunk);
    out.Add("</catalog>\n");
}

void GenerateNesting(ChunkWriter& out, std::size_t depth) {
    out.Add("<?xml version=\"1.0\"?>\n");
    for (std::size_t i = 0; i < depth; ++i) out.Add("<a>");
    out.Add("deep");
    for (std::size_t i = 0; i < depth; ++i) out.Add("</a>");
    out.Add("\n");
}

void GenerateQuadratic(ChunkWriter& out, std::size_t count) {
    out.Add("<?xml version=\"1.0\"?>\n<!DOCTYPE catalog [\n<!ENTITY a \"");
    out.Add(std::string(count, 'a'));
    out.Add("\">\n]>\n<catalog>");
    for (std::size_t i = 0; i < count; ++i) out.Add("&a;");
    out.Add("</catalog>\n");
}

void GenerateXPathNesting(ChunkWriter& out, std::size_t depth) {
    out.Add("<?xml version=\"1.0\"?>\n<xsl:stylesheet version=\"1.0\" "
            "xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n"
            "<xsl:template match=\"/\"><xsl:value-of select=\"");
    for (std::size_t i = 0; i < depth; ++i) out.Add("(");
    out.Add("1");
    for (std::size_t i = 0; i < depth; ++i) out.Add(")");
    out.Add("\"/></xsl:template>\n</xsl:stylesheet>\n");
}

// Literal result elements nested `depth` deep, each declaring a prefix of its own and naming it
// 4000 times in its list of extension-element prefixes: about 10 KB a level.
void GenerateExtensionNesting(ChunkWriter& out, std::size_t depth) {
    out.Add("<?xml version=\"1.0\"?>\n<xsl:stylesheet version=\"1.0\" "
            "xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n"
            "<xsl:output method=\"xml\" omit-xml-declaration=\"yes\"/>\n<xsl:template match=\"/\">");
    for (std::size_t i = 0; i < depth; ++i) {
        std::string prefix = "p";
        prefix += std::to_string(i);
        std::string list;
        for (int k = 0; k < 4000; ++k) list.append(k == 0 ? "" : " ").append(prefix);
        out.Add("<e xmlns:" + prefix + "=\"urn:" + prefix + "\" xsl:extension-element-prefixes=\"" + list + "\">\n");
    }
    out.Add("deep");
    for (std::size_t i = 0; i < depth; ++i) out.Add("</e>");
    out.Add("</xsl:template>\n</xsl:stylesheet>\n");
}

}  // namespace

Expectation ReadExpectation(const fs::path& file) {
    Expectation expectation;
    std::istringstream lines(ReadFile(file));
    std::string line;
    while (std::getline(lines, line)) {
        line = Trim(line);
        if (line.empty() || line[0] == '#') continue;
        const auto equals = line.find('=');
        if (equals == std::string::npos) throw std::runtime_error("not a 'key = value' line: " + line);
        const std::string key = Trim(line.substr(0, equals));
        const std::string value = Trim(line.substr(equals + 1));
        if (key == "exit") {
            std::istringstream statuses(value);
            int status = 0;
            while (statuses >> status) expectation.exitStatuses.push_back(status);
            if (!statuses.eof() || expectation.exitStatuses.empty())
                throw std::runtime_error("exit needs one or more statuses: " + value);
        } else if (key == "cpu_seconds") {
            expectation.cpuSeconds = PositiveNumber(key, value);
        } else if (key == "memory_mib") {
            expectation.memoryMib = PositiveNumber(key, value);
        } else if (key == "log") {
            expectation.logMentions.push_back(Alternatives(value));
        } else if (key == "output") {
            expectation.outputContains.push_back(value);
        } else if (key == "generate") {
            expectation.generate.push_back(value);
        } else if (key == "entry") {
            expectation.entries.push_back(value);
        } else {
            throw std::runtime_error("unknown key: " + key);
        }
    }
    if (expectation.exitStatuses.empty()) throw std::runtime_error("no exit status expected in " + file.string());
    const bool mayComplete = std::find(expectation.exitStatuses.begin(), expectation.exitStatuses.end(), 0) !=
                             expectation.exitStatuses.end();
    const bool namesAReason =
        std::any_of(expectation.logMentions.begin(), expectation.logMentions.end(), [](const auto& mention) {
            return std::none_of(mention.begin(), mention.end(), StageOnly);
        });
    if (!mayComplete && !namesAReason)
        throw std::runtime_error("a failing run needs a log line that names its reason, not only the stage, in " +
                                 file.string());
    return expectation;
}

std::string Substitute(std::string text, const Substitutions& substitutions) {
    for (const auto& [placeholder, replacement] : substitutions) {
        for (auto at = text.find(placeholder); at != std::string::npos;
             at = text.find(placeholder, at + replacement.size()))
            text.replace(at, placeholder.size(), replacement);
    }
    return text;
}

std::vector<std::string> ListCases(const fs::path& casesDir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(casesDir))
        if (entry.is_directory()) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

void CopyFixture(const fs::path& from, const fs::path& to, const Substitutions& substitutions) {
    if (!fs::exists(from)) return;
    for (const auto& entry : fs::recursive_directory_iterator(from)) {
        const fs::path target = to / fs::relative(entry.path(), from);
        if (entry.is_symlink()) {
            // Kept as a link, so a case can point from inside Input/ to somewhere else.
            const std::string link = Substitute(fs::read_symlink(entry.path()).string(), substitutions);
            fs::create_directories(target.parent_path());
            fs::create_symlink(link, target);
            continue;
        }
        if (entry.is_directory()) {
            fs::create_directories(target);
            continue;
        }
        WriteFile(target, Substitute(ReadFile(entry.path()), substitutions));
    }
}

void Generate(const std::string& request, const fs::path& inputDir) {
    std::istringstream words(request);
    std::string file, kind;
    long long size = 0;
    if (!(words >> file >> kind >> size) || size <= 0) throw std::runtime_error("bad generate line: " + request);
    ChunkWriter out(inputDir / file);
    const auto count = static_cast<std::size_t>(size);
    if (kind == "catalog") {
        GenerateCatalog(out, count);
    } else if (kind == "text") {
        GenerateText(out, count);
    } else if (kind == "nesting") {
        GenerateNesting(out, count);
    } else if (kind == "quadratic") {
        GenerateQuadratic(out, count);
    } else if (kind == "xpath-nesting") {
        GenerateXPathNesting(out, count);
    } else if (kind == "extension-nesting") {
        GenerateExtensionNesting(out, count);
    } else {
        throw std::runtime_error("unknown generator: " + kind);
    }
    out.Close();
}

void MakeEntry(const std::string& request, const fs::path& inputDir, const Substitutions& substitutions) {
    std::istringstream in(request);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    const bool isFifo = words.size() == 2 && words[1] == "fifo";
    const bool isLink = words.size() == 3 && words[1] == "link";
    if ((!isFifo && !isLink) || words[0].find('/') != std::string::npos)
        throw std::runtime_error("bad entry line: " + request);
    const fs::path entry = inputDir / words[0];
    fs::remove(entry);
    if (isLink) {
        fs::create_symlink(Substitute(words[2], substitutions), entry);
    } else if (::mkfifo(entry.c_str(), 0644) != 0) {
        throw std::runtime_error("cannot make the named pipe " + entry.string());
    }
}

}  // namespace hostile
