// Text buffers of the configuration backend: bufferPutf with the library's
// own conversions (%b, %M, %P), bufferPuts and bufferReset.
#include <bit>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <new>
#include <string>

#include "cmbackend.h"
#include "dm.h"
#include "mira/core/cm.h"
#include "mira/core/switch_backend.h"

namespace mira {
namespace {

// Appends n bytes, growing the block geometrically up to the bound.
bool append(cmBuffer_t* buffer, const char* data, size_t n) {
    if (buffer->text == nullptr) {
        buffer->size = 0;
        buffer->length = 0;
    }
    size_t need = size_t(buffer->length) + n + 1;
    if (need > kCmBufferMaxSize) return false;
    if (need > buffer->size) {
        size_t size = buffer->size ? buffer->size : 256;
        while (size < need) size *= 2;
        if (size > kCmBufferMaxSize) size = kCmBufferMaxSize;
        char* grown = static_cast<char*>(std::realloc(buffer->text, size));
        if (grown == nullptr) return false;
        buffer->text = grown;
        buffer->size = uint32_t(size);
    }
    std::memcpy(buffer->text + buffer->length, data, n);
    buffer->length += uint32_t(n);
    buffer->text[buffer->length] = '\0';
    return true;
}

// Formats one standard conversion with its own snprintf call.
template <typename T>
void formatOne(std::string& out, const std::string& conversion, T value) {
    char small[128];
    int n = std::snprintf(small, sizeof small, conversion.c_str(), value);
    if (n < 0) return;
    if (size_t(n) < sizeof small) {
        out.append(small, size_t(n));
        return;
    }
    std::string big(size_t(n) + 1, '\0');
    std::snprintf(big.data(), big.size(), conversion.c_str(), value);
    out.append(big.data(), size_t(n));
}

bool isFlag(char c) { return c == '-' || c == '+' || c == ' ' || c == '#' || c == '0' || c == '\''; }

// Expands the whole format into out; walks the arguments by the format.
void expand(std::string& out, const char* format, va_list ap) {
    const char* p = format;
    while (*p) {
        if (*p != '%') {
            const char* q = std::strchr(p, '%');
            size_t n = q ? size_t(q - p) : std::strlen(p);
            out.append(p, n);
            p += n;
            continue;
        }
        const char* start = p++;
        if (*p == '%') {
            out.push_back('%');
            ++p;
            continue;
        }
        std::string conversion = "%";
        while (isFlag(*p)) conversion.push_back(*p++);
        if (*p == '*') {
            conversion += std::to_string(va_arg(ap, int));
            ++p;
        } else {
            while (*p >= '0' && *p <= '9') conversion.push_back(*p++);
        }
        if (*p == '.') {
            conversion.push_back(*p++);
            if (*p == '*') {
                int precision = va_arg(ap, int);
                conversion += std::to_string(precision < 0 ? 0 : precision);
                ++p;
            } else {
                while (*p >= '0' && *p <= '9') conversion.push_back(*p++);
            }
        }
        std::string length;
        while (*p && std::strchr("hljztLq", *p)) length.push_back(*p++);
        char conv = *p;
        if (conv == '\0') {  // a lone trailing '%' is written as it stands
            out.append(start);
            return;
        }
        ++p;
        switch (conv) {
        case 'b': {
            uint32_t value = va_arg(ap, uint32_t);
            formatOne(out, conversion + "s", value ? "true" : "false");
            break;
        }
        case 'M': {
            std::string text = formatPortMask(va_arg(ap, uint32_t));
            formatOne(out, conversion + "s", text.c_str());
            break;
        }
        case 'P': {
            std::string text = formatPortList(va_arg(ap, const PORTLIST_T*));
            formatOne(out, conversion + "s", text.c_str());
            break;
        }
        // Each length modifier reads its own type, though some are the same
        // type on this platform.
        // NOLINTBEGIN(bugprone-branch-clone)
        case 'd':
        case 'i':
            conversion += length;
            conversion.push_back(conv);
            if (length == "l") formatOne(out, conversion, va_arg(ap, long));
            else if (length == "ll" || length == "q") formatOne(out, conversion, va_arg(ap, long long));
            else if (length == "j") formatOne(out, conversion, va_arg(ap, intmax_t));
            else if (length == "z" || length == "t") formatOne(out, conversion, va_arg(ap, ptrdiff_t));
            else formatOne(out, conversion, va_arg(ap, int));  // hh and h arrive promoted to int
            break;
        case 'u':
        case 'o':
        case 'x':
        case 'X':
            conversion += length;
            conversion.push_back(conv);
            if (length == "l") formatOne(out, conversion, va_arg(ap, unsigned long));
            else if (length == "ll" || length == "q") formatOne(out, conversion, va_arg(ap, unsigned long long));
            else if (length == "j") formatOne(out, conversion, va_arg(ap, uintmax_t));
            else if (length == "z" || length == "t") formatOne(out, conversion, va_arg(ap, size_t));
            else formatOne(out, conversion, va_arg(ap, unsigned));
            break;
            // NOLINTEND(bugprone-branch-clone)
        case 'c':
            conversion.push_back('c');
            formatOne(out, conversion, va_arg(ap, int));
            break;
        case 's':
            if (length == "l") {
                const wchar_t* text = va_arg(ap, const wchar_t*);
                formatOne(out, conversion + "ls", text ? text : L"(null)");
            } else {
                const char* text = va_arg(ap, const char*);
                formatOne(out, conversion + "s", text ? text : "(null)");
            }
            break;
        case 'p':
            formatOne(out, conversion + "p", va_arg(ap, void*));
            break;
        case 'f':
        case 'F':
        case 'e':
        case 'E':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
            if (length == "L") {
                conversion += "L";
                conversion.push_back(conv);
                formatOne(out, conversion, va_arg(ap, long double));
            } else {
                conversion.push_back(conv);
                formatOne(out, conversion, va_arg(ap, double));
            }
            break;
        case 'n':
            (void)va_arg(ap, void*);  // never written through
            break;
        default:  // unknown conversion: written as it stands, no argument taken
            out.append(start, size_t(p - start));
            break;
        }
    }
}

}  // namespace

void cmBufferRelease(cmBuffer_t* buffer) {
    std::free(buffer->text);
    buffer->text = nullptr;
    buffer->length = 0;
    buffer->size = 0;
}

CmBuffer::~CmBuffer() { cmBufferRelease(&buf_); }

std::string_view CmBuffer::view() const {
    return buf_.text ? std::string_view(buf_.text, buf_.length) : std::string_view();
}

CmRequest::~CmRequest() {
    cmBufferRelease(&req_.output);
    cmBufferRelease(&req_.message);
}

std::string CmRequest::output() const {
    return req_.output.text ? std::string(req_.output.text, req_.output.length) : std::string();
}

std::string CmRequest::message() const {
    return req_.message.text ? std::string(req_.message.text, req_.message.length) : std::string();
}

std::string formatPortMask(PORTMASK_T mask) {
    if (activeSwitch().namesPorts()) return activeSwitch().portName(mask);
    uint32_t slot = mask >> 16, port = mask & 0xffff;
    if (dmConfig.slotCount < 2) return std::to_string(port);
    return std::to_string(slot) + ":" + std::to_string(port);
}

std::string formatPortList(const PORTLIST_T* list) {
    std::string out;
    if (list == nullptr) return out;
    if (activeSwitch().namesPorts()) {
        for (int32_t w = PORTLIST_GETNEXTPORT(list, -1); w != -1; w = PORTLIST_GETNEXTPORT(list, w))
            out += (out.empty() ? "" : ",") + activeSwitch().portName(uint32_t(w));
        return out;
    }
    bool oneSlot = dmConfig.slotCount < 2;
    uint32_t first = dmGetSlotFirst();
    auto portText = [&](uint32_t slot, uint32_t port) {
        return oneSlot ? std::to_string(port) : std::to_string(slot) + ":" + std::to_string(port);
    };
    // Port p is bit p-1 from the top of the group; ports 1..256 of a slot
    // read as one 256-bit number, so whole words of unset ports are skipped
    // and runs of set ports are counted a word at a time.
    auto bits = [&](uint32_t group, uint32_t bit) { return list->group[group][bit / 32] << (bit % 32); };
    for (uint32_t group = 0; group < 32; ++group) {
        uint32_t slot = first + group;
        uint32_t bit = 0;
        while (bit < 256) {
            uint32_t word = bits(group, bit);
            if (word == 0) {
                bit = (bit | 31) + 1;
                continue;
            }
            bit += uint32_t(std::countl_zero(word));
            uint32_t end = bit;  // one past the run of set bits
            while (end < 256) {
                const uint32_t ones = uint32_t(std::countl_one(bits(group, end)));
                end += ones;
                if (ones == 0 || end % 32 != 0) break;
            }
            if (!out.empty()) out.push_back(',');
            out += portText(slot, bit + 1);
            if (end - 1 > bit) out += "-" + portText(slot, end);
            bit = end;
        }
    }
    return out;
}

}  // namespace mira

int bufferPutf(cmBuffer_t* buffer, const char* format, ...) {
    if (buffer == nullptr || format == nullptr) return -1;
    try {
        std::string out;
        va_list ap;
        va_start(ap, format);
        mira::expand(out, format, ap);
        va_end(ap);
        if (!mira::append(buffer, out.data(), out.size())) return -1;
        return int(out.size());
    } catch (const std::bad_alloc&) {
        return -1;
    }
}

int bufferPuts(cmBuffer_t* buffer, const char* text) {
    if (buffer == nullptr || text == nullptr) return -1;
    size_t n = std::strlen(text);
    if (!mira::append(buffer, text, n)) return -1;
    return int(n);
}

void bufferReset(cmBuffer_t* buffer) {
    if (buffer == nullptr) return;
    if (buffer->text) buffer->text[0] = '\0';
    buffer->length = 0;
}
