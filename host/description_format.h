// host/description_format.h: the serialized form of a window description and the writer that makes it.
// The built-in description is written with DescriptionWriter at compile time; tests use the same writer
// at run time to make descriptions of their own, sound or deliberately damaged.
//
// Layout, all integers little-endian:
//   header   "KWD" and the format version (1), then the body length (u32)
//   body     u8 window count, then per window:
//              i32 window id, text window name, u8 component count, then per component (entry 0 first,
//              which must be of the window kind):
//                i32 component id, u8 kind, text name, i32 left, top, width, height, u32 flags,
//                u8 event count, per event: i32 event index, u8 handler slot,
//                u8 setting count, per setting: u8 property index, u8 type (0 int32, 1 text), the value
//   trailer  FNV-1a (32 bit) of the body
//   text     u16 length, then the bytes (code page 936, no terminator)
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

enum class KindId : std::uint8_t { Window = 0, Timer = 1, Zip = 2 };
inline constexpr int kKindCount = 3;

enum class SettingType : std::uint8_t { Int = 0, Text = 1 };

inline constexpr std::uint32_t kFlagVisible = 1u << 0;
inline constexpr std::uint32_t kFlagDisabled = 1u << 1;

inline constexpr unsigned char kDescriptionMagic[4] = {'K', 'W', 'D', 1};
inline constexpr std::size_t kDescriptionHeaderSize = 8;
inline constexpr std::size_t kDescriptionTrailerSize = 4;

constexpr std::uint32_t DescriptionChecksum(const unsigned char* body, std::size_t size) {
    std::uint32_t hash = 2166136261u;
    for (std::size_t i = 0; i < size; ++i) {
        hash ^= body[i];
        hash *= 16777619u;
    }
    return hash;
}

struct Place {
    std::int32_t left, top, width, height;
};

// Writes a description call by call; the counts are filled in as the items are added, so the source
// reads as the description itself. Finish() seals it (length and checksum).
template <std::size_t Capacity>
class DescriptionWriter {
public:
    constexpr void Window(std::int32_t windowId, const char* name) {
        CloseComponent();
        if (windowCountAt_ == kNone) {
            Put4(0);  // the header, patched by Finish()
            Put4(0);
            windowCountAt_ = size_;
            Put1(0);
        }
        ++bytes_[windowCountAt_];
        Put4(static_cast<std::uint32_t>(windowId));
        PutText(name);
        componentCountAt_ = size_;
        Put1(0);
    }

    constexpr void Component(std::int32_t componentId, KindId kind, const char* name, Place place,
                             std::uint32_t flags) {
        CloseComponent();
        ++bytes_[componentCountAt_];
        Put4(static_cast<std::uint32_t>(componentId));
        Put1(static_cast<std::uint8_t>(kind));
        PutText(name);
        Put4(static_cast<std::uint32_t>(place.left));
        Put4(static_cast<std::uint32_t>(place.top));
        Put4(static_cast<std::uint32_t>(place.width));
        Put4(static_cast<std::uint32_t>(place.height));
        Put4(flags);
        eventCountAt_ = size_;
        Put1(0);
        settingCountAt_ = kNone;
    }

    // Events come before the settings of a component.
    constexpr void Event(std::int32_t eventIndex, int handlerSlot) {
        ++bytes_[eventCountAt_];
        Put4(static_cast<std::uint32_t>(eventIndex));
        Put1(static_cast<std::uint8_t>(handlerSlot));
    }

    constexpr void IntSetting(int property, std::int32_t value) {
        OpenSettings();
        Put1(static_cast<std::uint8_t>(property));
        Put1(static_cast<std::uint8_t>(SettingType::Int));
        Put4(static_cast<std::uint32_t>(value));
    }

    constexpr void TextSetting(int property, const char* value) {
        OpenSettings();
        Put1(static_cast<std::uint8_t>(property));
        Put1(static_cast<std::uint8_t>(SettingType::Text));
        PutText(value);
    }

    constexpr void Finish() {
        CloseComponent();
        for (int i = 0; i < 4; ++i)
            bytes_[i] = kDescriptionMagic[i];
        Patch4(4, static_cast<std::uint32_t>(size_ - kDescriptionHeaderSize));
        Put4(DescriptionChecksum(bytes_.data() + kDescriptionHeaderSize, size_ - kDescriptionHeaderSize));
    }

    constexpr const unsigned char* data() const { return bytes_.data(); }
    constexpr std::size_t size() const { return size_; }
    constexpr bool overflowed() const { return overflowed_; }

private:
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

    constexpr void OpenSettings() {
        if (settingCountAt_ == kNone) {
            settingCountAt_ = size_;
            Put1(0);
        }
        ++bytes_[settingCountAt_];
    }
    // A component without settings still carries its setting count (0).
    constexpr void CloseComponent() {
        if (eventCountAt_ != kNone && settingCountAt_ == kNone)
            Put1(0);
        eventCountAt_ = kNone;
        settingCountAt_ = kNone;
    }
    constexpr void Put1(std::uint8_t v) {
        if (size_ < Capacity)
            bytes_[size_++] = v;
        else
            overflowed_ = true;
    }
    constexpr void Put4(std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            Put1(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    constexpr void Patch4(std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            bytes_[at + i] = static_cast<unsigned char>(v >> (8 * i));
    }
    constexpr void PutText(const char* s) {
        std::size_t length = 0;
        while (s[length])
            ++length;
        Put1(static_cast<std::uint8_t>(length));
        Put1(static_cast<std::uint8_t>(length >> 8));
        for (std::size_t i = 0; i < length; ++i)
            Put1(static_cast<std::uint8_t>(s[i]));
    }

    std::array<unsigned char, Capacity> bytes_{};
    std::size_t size_ = 0;
    std::size_t windowCountAt_ = kNone;
    std::size_t componentCountAt_ = kNone;
    std::size_t eventCountAt_ = kNone;
    std::size_t settingCountAt_ = kNone;
    bool overflowed_ = false;
};

// The built-in description, sealed: what ReadWindowDescription() decodes.
const unsigned char* BuiltInDescription(std::size_t* size);
