#include "platform/format.h"

#include <cstdio>
#include <cstring>

#include "platform/progress.h"

namespace {

class Sink {
public:
    Sink(char* buffer, std::size_t size) : buffer_(buffer), size_(size) {}
    void Put(char c) {
        if (length_ + 1 < size_) buffer_[length_] = c;
        ++length_;
    }
    void Put(const char* text, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) Put(text[i]);
    }
    void Pad(char c, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) Put(c);
    }
    std::size_t Finish() {
        if (size_ > 0) buffer_[length_ < size_ ? length_ : size_ - 1] = '\0';
        return length_;
    }

private:
    char* buffer_;
    std::size_t size_;
    std::size_t length_ = 0;
};

struct Conversion {
    bool leftAlign = false;
    bool zeroPad = false;
    std::size_t width = 0;
    int precision = -1;
};

void EmitField(Sink& out, const Conversion& conv, const char* body, std::size_t length, bool numeric,
               bool negative) {
    const std::size_t total = length + (negative ? 1 : 0);
    const std::size_t padding = conv.width > total ? conv.width - total : 0;
    if (conv.leftAlign) {
        if (negative) out.Put('-');
        out.Put(body, length);
        out.Pad(' ', padding);
    } else if (conv.zeroPad && numeric) {
        if (negative) out.Put('-');
        out.Pad('0', padding);
        out.Put(body, length);
    } else {
        out.Pad(' ', padding);
        if (negative) out.Put('-');
        out.Put(body, length);
    }
}

void EmitUnsigned(Sink& out, const Conversion& conv, std::uint64_t value, unsigned base, bool upper,
                  bool negative) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char text[32];
    std::size_t n = 0;
    do {
        text[sizeof text - 1 - n++] = digits[value % base];
        value /= base;
    } while (value != 0);
    EmitField(out, conv, text + sizeof text - n, n, true, negative);
}

}  // namespace

std::size_t NbVFormat(char* buffer, std::size_t size, const char* format, va_list args) {
    Sink out(buffer, size);
    for (const char* p = format; *p != '\0'; ++p) {
        if (*p != '%') {
            out.Put(*p);
            continue;
        }
        const char* start = p++;
        Conversion conv;
        for (;; ++p) {
            if (*p == '-') conv.leftAlign = true;
            else if (*p == '0') conv.zeroPad = true;
            else if (*p == '+' || *p == ' ' || *p == '#') continue;
            else break;
        }
        while (*p >= '0' && *p <= '9') conv.width = conv.width * 10 + static_cast<std::size_t>(*p++ - '0');
        if (*p == '.') {
            conv.precision = 0;
            ++p;
            while (*p >= '0' && *p <= '9') conv.precision = conv.precision * 10 + (*p++ - '0');
        }
        enum { Int, Long, LongLong, Wide64, SizeT } length = Int;
        if (std::strncmp(p, "I64", 3) == 0) {
            length = Wide64;
            p += 3;
        } else if (p[0] == 'l' && p[1] == 'l') {
            length = LongLong;
            p += 2;
        } else if (*p == 'l') {
            length = Long;
            ++p;
        } else if (*p == 'z') {
            length = SizeT;
            ++p;
        } else {
            while (*p == 'h') ++p;
        }
        switch (*p) {
        case 'd':
        case 'i': {
            std::int64_t v = 0;
            switch (length) {
            case Int: v = va_arg(args, int); break;
            case Long: v = va_arg(args, long); break;
            case LongLong: v = va_arg(args, long long); break;
            case Wide64: v = va_arg(args, std::int64_t); break;
            case SizeT: v = static_cast<std::int64_t>(va_arg(args, std::size_t)); break;
            }
            const std::uint64_t magnitude = v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
            EmitUnsigned(out, conv, magnitude, 10, false, v < 0);
            break;
        }
        case 'u':
        case 'x':
        case 'X': {
            std::uint64_t v = 0;
            switch (length) {
            case Int: v = va_arg(args, unsigned int); break;
            case Long: v = va_arg(args, unsigned long); break;
            case LongLong: v = va_arg(args, unsigned long long); break;
            case Wide64: v = va_arg(args, std::uint64_t); break;
            case SizeT: v = va_arg(args, std::size_t); break;
            }
            EmitUnsigned(out, conv, v, *p == 'u' ? 10 : 16, *p == 'X', false);
            break;
        }
        case 'p': {
            // Always the full width of a 64-bit address, upper case, no prefix.
            const auto v = reinterpret_cast<std::uintptr_t>(va_arg(args, const void*));
            Conversion pointer = conv;
            pointer.zeroPad = true;
            if (pointer.width < 16) pointer.width = 16;
            EmitUnsigned(out, pointer, static_cast<std::uint64_t>(v), 16, true, false);
            break;
        }
        case 'c': {
            const char c = static_cast<char>(va_arg(args, int));
            EmitField(out, conv, &c, 1, false, false);
            break;
        }
        case 's': {
            const char* s = va_arg(args, const char*);
            if (s == nullptr) s = "(null)";
            std::size_t n = std::strlen(s);
            if (conv.precision >= 0 && static_cast<std::size_t>(conv.precision) < n) n = static_cast<std::size_t>(conv.precision);
            EmitField(out, conv, s, n, false, false);
            break;
        }
        case '%': out.Put('%'); break;
        default:
            // Not a conversion this formatter knows: print it as it stands.
            out.Put(start, static_cast<std::size_t>(p - start) + (*p != '\0' ? 1 : 0));
            if (*p == '\0') --p;
            break;
        }
    }
    return out.Finish();
}

NbResult NbFormatString(char* buffer, std::uint32_t size, const char* format, ...) {
    if (buffer == nullptr || format == nullptr) return NB_INVALID_ADDRESS;
    va_list args;
    va_start(args, format);
    NbVFormat(buffer, size, format, args);
    va_end(args);
    return NB_OK;
}

NbResult NbFormatName(char* buffer, std::uint32_t size, const char* format, ...) {
    if (buffer == nullptr || format == nullptr) return NB_INVALID_ADDRESS;
    va_list args;
    va_start(args, format);
    const std::size_t length = NbVFormat(buffer, size, format, args);
    va_end(args);
    return length < size ? NB_OK : NB_NAME_TOO_LONG;
}

void NbPrint(const char* format, ...) {
    char text[4096];
    va_list args;
    va_start(args, format);
    std::size_t length = NbVFormat(text, sizeof text, format, args);
    va_end(args);
    if (length >= sizeof text) length = sizeof text - 1;
    NbProgressInterrupt();  // standard output may share the progress line's terminal
    std::fwrite(text, 1, length, stdout);
    std::fflush(stdout);
}

std::string NbText(const char* format, ...) {
    char buffer[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return buffer;
}

std::size_t NbFormat(char* buffer, std::size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::size_t n = NbVFormat(buffer, size, format, args);
    va_end(args);
    return n;
}
