// The hex routines, the preset editor's decoding of an input code (typed hex text or a value)
// and number rounding on any text and any double: every count stays within
// its buffer, and what the strict reading accepts (spaces between values) reads the same through
// the lenient one.
#include <cmath>
#include <cstring>

#include "app/preset_edit.h"
#include "fuzz_rig.h"
#include "midiin/input_definition.h"
#include "state/hexroutines.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Bytes in(data, size);
    const int32_t capacity = in.byte() % 40;
    const double x = in.value<double>();
    const double step = in.value<double>();
    const std::string_view text = in.rest();

    uint8_t lenient[40];
    const int32_t n = HexToBytes(text, lenient, capacity);
    if (n < 0 || n > capacity) __builtin_trap();
    uint8_t strict[40];
    const HexReading reading = HexToBytesStrict(text, strict, capacity);
    if (reading.count < 0 || reading.count > capacity) __builtin_trap();
    if (reading.problem == HexProblem::None && text.find('\t') == std::string_view::npos) {
        // The strict reading counts a last one-digit value the lenient one leaves to the caller.
        uint8_t again[40];
        const std::string padded = std::string(text) + " ";
        const int32_t m = HexToBytes(padded, again, capacity);
        if (m != reading.count || std::memcmp(again, strict, static_cast<size_t>(m)) != 0)
            __builtin_trap();
    }
    (void)HexToInt(text);
    for (char c : text) (void)HexDigitValue(c);

    const int32_t rounded = RoundToInt(x);
    if (std::isnan(x) && rounded != 0) __builtin_trap();
    (void)RoundToStep(x, step);
    (void)InputCodeText(static_cast<int32_t>(HexToInt(text)));

    // The preset editor: typed text, then a value taken apart into its lists and put together
    // again. Whatever comes in, the code it holds is a 24-bit one.
    static PresetEditModel preset("/no/label/folder/");
    preset.ParseHexText(text);
    if (preset.InputCode < 0 || preset.InputCode > 0xFFFFFF) __builtin_trap();
    preset.DecodeInputCode(static_cast<uint32_t>(reading.count) * 0x01010101u ^
                           static_cast<uint32_t>(rounded));
    if (preset.InputCode < 0 || preset.InputCode > 0xFFFFFF) __builtin_trap();
    preset.EncodeInputCode();
    return 0;
}
