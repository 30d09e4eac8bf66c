#include "windows_output_lengths.h"

namespace {
constexpr USHORT maxCaps = 512;

struct DescriptorText {
    uint8_t bytes[maxCaps * 2 * 14];  // at most 14 bytes per cap
    size_t size;
};

void AddItem(DescriptorText* text, uint8_t prefix, uint32_t value, size_t dataBytes) {
    if (text->size + 1 + dataBytes > sizeof(text->bytes)) {
        return;
    }
    text->bytes[text->size++] = static_cast<uint8_t>(prefix | (dataBytes == 4 ? 3 : dataBytes));
    for (size_t i = 0; i < dataBytes; ++i) {
        text->bytes[text->size++] = static_cast<uint8_t>(value >> (8 * i));
    }
}

// One output item: reportCount fields of reportSize bits in report reportId.
void AddOutputItem(DescriptorText* text, uint8_t reportId, uint32_t reportSize,
                   uint32_t reportCount) {
    constexpr uint8_t reportIdItem = 0x84;
    constexpr uint8_t reportSizeItem = 0x74;
    constexpr uint8_t reportCountItem = 0x94;
    constexpr uint8_t outputItem = 0x90;
    if (reportId != 0) {
        AddItem(text, reportIdItem, reportId, 1);
    }
    AddItem(text, reportSizeItem, reportSize, 4);
    AddItem(text, reportCountItem, reportCount, 4);
    AddItem(text, outputItem, 0x02, 1);
}

// Items without a report ID come first: the ID is global state in a
// descriptor, and 0 can only be had before the first Report ID item.
void AddCaps(DescriptorText* text, const HIDP_VALUE_CAPS* values, USHORT valueCount,
             const HIDP_BUTTON_CAPS* buttons, USHORT buttonCount, bool withId) {
    for (USHORT i = 0; i < valueCount; ++i) {
        if ((values[i].ReportID != 0) == withId) {
            AddOutputItem(text, values[i].ReportID, values[i].BitSize, values[i].ReportCount);
        }
    }
    for (USHORT i = 0; i < buttonCount; ++i) {
        if ((buttons[i].ReportID != 0) == withId) {
            const HIDP_BUTTON_CAPS& cap = buttons[i];
            const uint32_t usages =
                cap.IsRange ? static_cast<uint32_t>(cap.Range.UsageMax - cap.Range.UsageMin) + 1
                            : 1;
            AddOutputItem(text, cap.ReportID, 1, usages);
        }
    }
}

}  // namespace

// Called under the library's lock: the cap tables are shared.
bool ReadOutputLengths(PHIDP_PREPARSED_DATA preparsed, OutputReportLengths* lengths) {
    static HIDP_VALUE_CAPS values[maxCaps];
    static HIDP_BUTTON_CAPS buttons[maxCaps];
    USHORT valueCount = maxCaps;
    USHORT buttonCount = maxCaps;
    if (HidP_GetValueCaps(HidP_Output, values, &valueCount, preparsed) != HIDP_STATUS_SUCCESS) {
        valueCount = 0;
    }
    if (HidP_GetButtonCaps(HidP_Output, buttons, &buttonCount, preparsed) != HIDP_STATUS_SUCCESS) {
        buttonCount = 0;
    }
    static DescriptorText text;
    text.size = 0;
    AddCaps(&text, values, valueCount, buttons, buttonCount, false);
    AddCaps(&text, values, valueCount, buttons, buttonCount, true);
    return ParseOutputReportLengths(text.bytes, text.size, lengths);
}
