// The endpoint text parser and the LED-number list parser: what they accept
// comes back unchanged through their own text form.
#include <cstring>
#include <string>

#include "app/Registry.h"
#include "fuzz/FuzzCheck.h"
#include "net/VDIPAddress.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    const VDIPAddress sentinel(9, 8, 7, 6, 5432);
    VDIPAddress a = sentinel;
    if (a.Parse(text)) {
        VDIPAddress b;
        FUZZ_CHECK(b.Parse(a.ToText()));
        FUZZ_CHECK(b == a && b.ToText() == a.ToText());
    } else {
        FUZZ_CHECK(a == sentinel && a.ToText() == sentinel.ToText());  // a failed parse changes nothing
    }
    VDIPAddress lenient(text.c_str());  // never fails
    (void)lenient.ToText();

    uint8_t map[32];
    const std::string norm = parseLedNums(text, map);
    if (norm.empty()) {
        static const uint8_t none[32] = {};
        FUZZ_CHECK(std::memcmp(map, none, 32) == 0);
        return 0;
    }
    uint8_t again[32];
    FUZZ_CHECK(parseLedNums(norm, again) == norm);  // the normal form is a fixed point
    FUZZ_CHECK(std::memcmp(map, again, 32) == 0);
    FUZZ_CHECK(!ledHas(map, 255));  // 255 means every display, never a member
    const std::string listed = ledNumsText(map);
    if (!listed.empty()) {
        uint8_t fromList[32];
        FUZZ_CHECK(parseLedNums(listed, fromList) == listed);
        FUZZ_CHECK(std::memcmp(map, fromList, 32) == 0);
    }
    return 0;
}
