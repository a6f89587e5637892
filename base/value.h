// base/value.h: the system's value kinds, for the operations that take "one value of any kind"
// (ToByteArray, ToText, EndProcess), and the memory image of a byte array.
#pragma once
#include <cstdint>

// A byte array's one memory image, on the heap and among the constants alike: dimension count
// (always 1), length, then `length` bytes. All integers little-endian; the header need not be
// aligned, so it is read with memcpy-safe accessors.
#pragma pack(push, 1)
struct ByteArrayImage {
    std::int32_t dimensions;
    std::int32_t length;
    // `length` bytes follow
    const unsigned char* bytes() const { return reinterpret_cast<const unsigned char*>(this) + 8; }
};
#pragma pack(pop)
static_assert(sizeof(ByteArrayImage) == 8);

// The constant 8-byte image of the empty array; callers pass it wherever an array may be absent.
extern const ByteArrayImage EmptyByteArray;

// A heap byte array: one allocation of exactly length + 8 bytes, or absent (the empty result).
class ByteArray {
public:
    ByteArray() = default;  // absent
    ~ByteArray();
    ByteArray(ByteArray&& other) noexcept;
    ByteArray& operator=(ByteArray&& other) noexcept;
    ByteArray(const ByteArray&) = delete;
    ByteArray& operator=(const ByteArray&) = delete;

    // A new array of `length` bytes (header 1, length), contents uninitialised; length > 0.
    static ByteArray Allocate(std::int32_t length);

    [[nodiscard]] bool absent() const { return image_ == nullptr; }
    // The image, or EmptyByteArray when absent: what is handed on where an array is expected.
    const ByteArrayImage* image() const { return image_ ? image_ : &EmptyByteArray; }
    std::int32_t size() const { return image_ ? image_->length : 0; }
    unsigned char* bytes() { return image_ ? reinterpret_cast<unsigned char*>(image_) + 8 : nullptr; }

private:
    ByteArrayImage* image_ = nullptr;
};

enum class ValueKind {
    None,          // no argument
    Byte,          // 8-bit unsigned
    Short,         // 16-bit signed
    Int,           // 32-bit signed
    Long,          // 64-bit signed
    Float,         // single precision
    Double,        // double precision
    Bool,          // 4 bytes, 0 or non-zero
    DateTime,      // the 64-bit floating date value (days since 1899-12-30, time as the fraction)
    Text,          // a zero-terminated ANSI text
    Bytes,         // a ByteArrayImage
    NumericArray,  // a one-dimensional array of one numeric kind (Byte to DateTime)
    Other,         // records, components, arrays of other kinds
};

// One value of any kind. It borrows what it points at (texts, arrays); it owns nothing.
class Value {
public:
    Value() = default;  // ValueKind::None
    static Value Byte(std::uint8_t v);
    static Value Short(std::int16_t v);
    static Value Int(std::int32_t v);
    static Value Long(std::int64_t v);
    static Value Float(float v);
    static Value Double(double v);
    static Value Bool(bool v);
    static Value DateTime(double v);
    static Value OfText(const char* text);              // null reads as ""
    static Value OfBytes(const ByteArrayImage* array);  // null reads as EmptyByteArray
    // `count` elements of kind `element` (Byte to DateTime) stored back to back at `elements`.
    static Value OfNumericArray(ValueKind element, const void* elements, std::int32_t count);
    static Value OfOther();

    ValueKind kind() const { return kind_; }
    std::int64_t asInteger() const { return integer_; }  // Byte, Short, Int, Long, Bool
    double asFloating() const { return floating_; }      // Float (widened), Double, DateTime
    float asFloat() const { return float_; }             // Float exactly as given
    const char* asText() const { return text_ ? text_ : ""; }
    const ByteArrayImage* asBytes() const { return bytes_ ? bytes_ : &EmptyByteArray; }
    ValueKind elementKind() const { return element_; }
    const void* elements() const { return elements_; }
    std::int32_t elementCount() const { return count_; }

    // The width in bytes of one value of a numeric kind (Byte 1 … Double 8, Bool 4, DateTime 8); 0 else.
    static int WidthOf(ValueKind kind);

private:
    ValueKind kind_ = ValueKind::None;
    std::int64_t integer_ = 0;
    double floating_ = 0;
    float float_ = 0;
    const char* text_ = nullptr;
    const ByteArrayImage* bytes_ = nullptr;
    ValueKind element_ = ValueKind::None;
    const void* elements_ = nullptr;
    std::int32_t count_ = 0;
};
