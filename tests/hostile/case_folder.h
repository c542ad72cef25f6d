#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace hostile {

// What one case folder expects of the run, read from its `expect` file.
struct Expectation {
    std::vector<int> exitStatuses;             // any of these is right
    double cpuSeconds = 20;                    // processor-time bound
    double memoryMib = 1536;                   // peak resident-memory bound
    // Each names the reason a run fails: the run log's last line, and the console, contain one
    // of its alternatives (there where libxml2 releases word a message differently).
    std::vector<std::vector<std::string>> logMentions;
    std::vector<std::string> outputContains;   // the output file contains each of these
    std::vector<std::string> generate;         // inputs written at test time: "<file> <kind> <size>"
    // Entries of Input/ that git cannot hold or that point elsewhere: "<file> fifo" or
    // "<file> link <target>".
    std::vector<std::string> entries;
};

// Throws std::runtime_error on an unknown key or a malformed value, so a typo cannot pass as
// a looser expectation; and on a case that expects only failures without a `log` line, or a
// `log` line that names no more than the stage, since any failure at all would pass those.
Expectation ReadExpectation(const std::filesystem::path& file);

// The names of the case folders, sorted.
std::vector<std::string> ListCases(const std::filesystem::path& casesDir);

// Placeholder and replacement pairs applied to every fixture file copied.
using Substitutions = std::vector<std::pair<std::string, std::string>>;

// `text` with every placeholder replaced.
std::string Substitute(std::string text, const Substitutions& substitutions);

// Copies the files under `from` into `to`, keeping sub-folders and replacing the placeholders.
void CopyFixture(const std::filesystem::path& from, const std::filesystem::path& to,
                 const Substitutions& substitutions);

// Writes one generated input into `inputDir`; `request` is "<file> <kind> <size>", with the kinds
//   catalog N        a book catalogue of N MiB
//   text N           one element holding a single text node of N MiB
//   nesting N        elements nested N deep
//   quadratic N      an internal entity of N characters referenced N times
//   xpath-nesting N  a stylesheet whose select expression nests N parentheses deep
//   extension-nesting N  a stylesheet of literal result elements nested N deep, each declaring
//                    one more prefix and naming it 4000 times as an extension-element prefix
void Generate(const std::string& request, const std::filesystem::path& inputDir);

// Makes one entry in `inputDir`, in place of a file of the same name copied there before, without
// opening anything; `request` is one of
//   <file> fifo            a named pipe that nothing writes to
//   <file> link <target>   a symbolic link to <target> (placeholders replaced), which need not exist
void MakeEntry(const std::string& request, const std::filesystem::path& inputDir,
               const Substitutions& substitutions);

}  // namespace hostile
