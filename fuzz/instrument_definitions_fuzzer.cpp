// Reads arbitrary bytes as an instrument definition file. Besides crashes,
// hangs and sanitizer reports it checks that decoding always gives valid
// UTF-8 (decoding the result again changes nothing), and walks the names of
// instruments and lists the input may define as "A" and "B".
#include "window/instrument_definitions.h"
#include "window/text_decoding.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace tavrelle::window;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::string text = decodeToUtf8(bytes);
    if (!bytes.starts_with("\xEF\xBB\xBF") && decodeToUtf8(text) != text) {
        std::abort();
    }
    InstrumentDefinitions definitions;
    definitions.add(bytes);
    for (const std::string_view name : {"A", "B"}) {
        for (const int bank : {0, 1, 128}) {
            if (const auto list = definitions.patchListOf(name, bank)) {
                (void)definitions.patchName(*list, 0);
            }
            (void)definitions.bankName(name, bank);
        }
        (void)definitions.bankSelectMethod(name);
        (void)definitions.patchName(name, 1);
    }
    return 0;
}
