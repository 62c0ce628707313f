// Reading a large instrument definition file as the tool does, beside
// reading its bytes alone, in one run:
//   ins_read write FOLDER MIB   writes FOLDER/large.ins of MIB MiB: lists of
//                               128 names in Shift-JIS, and instruments
//   ins_read compare FOLDER     reads and parses FOLDER's files, and reads
//                               their bytes alone, alternately, and prints
//                               the median time of each and their ratio
//   ins_read parse FOLDER       reads and parses once (for /usr/bin/time -v)
//   ins_read bytes FOLDER       reads the bytes once
#include "window/instrument_definitions.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

using tavrelle::window::definitionFilesBeside;
using tavrelle::window::readDefinitionFile;
using tavrelle::window::readDefinitionsBeside;

int write(const std::string& folder, std::size_t mebibytes)
{
    std::ofstream out(folder + "/large.ins", std::ios::binary);
    std::string text = ".Patch Names\r\n";
    for (int list = 0; text.size() < (mebibytes << 20) - 4096; ++list) {
        text += "[List " + std::to_string(list) + "]\r\n";
        for (int program = 0; program < 128; ++program) {
            // "グランドピアノ" in Shift-JIS, numbered.
            text += std::to_string(program) + "=\x83\x4F\x83\x89\x83\x93\x83\x68\x83\x73\x83\x41\x83\x6D " +
                    std::to_string(list) + "-" + std::to_string(program) + "\r\n";
        }
    }
    text += ".Instrument Definitions\r\n[Large]\r\nPatch[*]=List 0\r\n";
    text.resize(mebibytes << 20, ';');
    out << text;
    return out ? 0 : 1;
}

double millisecondsOf(void (*work)(const std::string&), const std::string& settings)
{
    const auto start = std::chrono::steady_clock::now();
    work(settings);
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

void parse(const std::string& settings)
{
    if (!readDefinitionsBeside(settings).hasInstrument("Large")) {
        std::fputs("ins_read: the file was not read\n", stderr);
        std::exit(1);
    }
}

void bytes(const std::string& settings)
{
    for (const std::string& file : definitionFilesBeside(settings)) {
        if (!readDefinitionFile(file, std::size_t{1} << 30)) {
            std::exit(1);
        }
    }
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string command = argc >= 3 ? argv[1] : "";
    const std::string settings = argc >= 3 ? std::string(argv[2]) + "/tavrelle.ini" : "";
    if (command == "write" && argc == 4) {
        return write(argv[2], std::strtoul(argv[3], nullptr, 10));
    }
    if (command == "parse" || command == "bytes") {
        (command == "parse" ? parse : bytes)(settings);
        return 0;
    }
    if (command == "compare") {
        std::vector<double> parsed, read;
        for (int round = 0; round < 11; ++round) {
            parsed.push_back(millisecondsOf(parse, settings));
            read.push_back(millisecondsOf(bytes, settings));
        }
        std::printf("read and parse %.1f ms, bytes alone %.1f ms, ratio %.1f (median of 11)\n", median(parsed),
                    median(read), median(parsed) / median(read));
        return 0;
    }
    std::fputs("usage: ins_read write FOLDER MIB | compare FOLDER | parse FOLDER | bytes FOLDER\n", stderr);
    return 2;
}
