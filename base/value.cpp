#include "base/value.h"

#include <utility>

#include "base/memory.h"

const ByteArrayImage EmptyByteArray = {1, 0};

ByteArray::~ByteArray() { Release(image_); }

ByteArray::ByteArray(ByteArray&& other) noexcept : image_(std::exchange(other.image_, nullptr)) {}

ByteArray& ByteArray::operator=(ByteArray&& other) noexcept {
    if (this != &other) {
        Release(image_);
        image_ = std::exchange(other.image_, nullptr);
    }
    return *this;
}

ByteArray ByteArray::Allocate(std::int32_t length) {
    ByteArray array;
    array.image_ = static_cast<ByteArrayImage*>(::Allocate(static_cast<std::size_t>(length) + 8));
    array.image_->dimensions = 1;
    array.image_->length = length;
    return array;
}

// clang-format off
Value Value::Byte(std::uint8_t v) { Value x; x.kind_ = ValueKind::Byte; x.integer_ = v; return x; }
Value Value::Short(std::int16_t v) { Value x; x.kind_ = ValueKind::Short; x.integer_ = v; return x; }
Value Value::Int(std::int32_t v) { Value x; x.kind_ = ValueKind::Int; x.integer_ = v; return x; }
Value Value::Long(std::int64_t v) { Value x; x.kind_ = ValueKind::Long; x.integer_ = v; return x; }
Value Value::Float(float v) {
    Value x;
    x.kind_ = ValueKind::Float;
    x.float_ = v;
    x.floating_ = v;
    return x;
}
Value Value::Double(double v) { Value x; x.kind_ = ValueKind::Double; x.floating_ = v; return x; }
Value Value::Bool(bool v) { Value x; x.kind_ = ValueKind::Bool; x.integer_ = v ? 1 : 0; return x; }
Value Value::DateTime(double v) { Value x; x.kind_ = ValueKind::DateTime; x.floating_ = v; return x; }
Value Value::OfText(const char* text) { Value x; x.kind_ = ValueKind::Text; x.text_ = text; return x; }
Value Value::OfBytes(const ByteArrayImage* array) {
    Value x;
    x.kind_ = ValueKind::Bytes;
    x.bytes_ = array;
    return x;
}
Value Value::OfNumericArray(ValueKind element, const void* elements, std::int32_t count) {
    Value x;
    x.kind_ = ValueKind::NumericArray;
    x.element_ = element;
    x.elements_ = elements;
    x.count_ = count;
    return x;
}
Value Value::OfOther() { Value x; x.kind_ = ValueKind::Other; return x; }
// clang-format on

int Value::WidthOf(ValueKind kind) {
    // clang-format off
    switch (kind) {
    case ValueKind::Byte: return 1;
    case ValueKind::Short: return 2;
    case ValueKind::Int: return 4;
    case ValueKind::Long: return 8;
    case ValueKind::Float: return 4;
    case ValueKind::Double: return 8;
    case ValueKind::Bool: return 4;
    case ValueKind::DateTime: return 8;
    default: return 0;
    }
    // clang-format on
}
