// The built-in window description and its decoding.
#include <cstring>

#include "host/host_internal.h"

namespace {

// LauncherWindow with WatchTimer and ZipComponent, written at compile time. Entry 0 is the window; the
// other entries are its components in list order (loading creates them last to first).
constexpr auto kBuiltIn = [] {
    DescriptionWriter<512> w;
    w.Window(kLauncherWindowId, "");

    w.Component(kLauncherWindowEntryId, KindId::Window, "", {50, 50, 222, 79}, /*flags: hidden*/ 0);
    w.Event(0, kOnLauncherCreatedSlot);  // created
    w.TextSetting(kPropertyTitle, "一键安装檀溪舟楫");
    w.IntSetting(kPropertyBorderStyle, 2);  // a fixed border: movable but not resizable
    w.IntSetting(kPropertyControlBox, 1);
    w.IntSetting(kPropertyMaxButton, 0);
    w.IntSetting(kPropertyMinButton, 1);
    w.IntSetting(kPropertyStartPosition, 1);  // centred on the primary screen
    w.IntSetting(kPropertyMovable, 1);
    w.IntSetting(kPropertyAlwaysOnTop, 0);
    w.TextSetting(kPropertyWindowClassName, "");  // empty, so "WTWindow"

    w.Component(kWatchTimerId, KindId::Timer, "时钟1", {32, 8, 24, 24}, 0);
    w.Event(0, kOnWatchTimerSlot);  // period; no Interval stored, so the timer starts stopped

    w.Component(kZipComponentId, KindId::Zip, "ZIP压缩1", {8, 8, 24, 24}, 0);

    w.Finish();
    return w;
}();
static_assert(!kBuiltIn.overflowed(), "the built-in description outgrew its writer");

GrowingTable<WindowEntry> description;

// Reads the body front to back; every read checks the bounds and a failed read sticks.
class Reader {
public:
    Reader(const unsigned char* data, std::size_t size) : p_(data), end_(data + size) {}

    std::uint8_t U8() {
        if (!Need(1))
            return 0;
        return *p_++;
    }
    std::uint32_t U32() {
        if (!Need(4))
            return 0;
        std::uint32_t v = p_[0] | (p_[1] << 8) | (p_[2] << 16) | (static_cast<std::uint32_t>(p_[3]) << 24);
        p_ += 4;
        return v;
    }
    std::int32_t I32() { return static_cast<std::int32_t>(U32()); }
    Text ReadText() {
        std::uint32_t length = U8();
        length |= static_cast<std::uint32_t>(U8()) << 8;
        if (!Need(length))
            return Text();
        // An embedded zero would cut the text short where the system reads it.
        if (std::memchr(p_, 0, length) != nullptr) {
            ok_ = false;
            return Text();
        }
        Text t = Text::FromBytes(reinterpret_cast<const char*>(p_), length);
        p_ += length;
        return t;
    }
    bool ok() const { return ok_; }
    bool atEnd() const { return p_ == end_; }

private:
    bool Need(std::size_t n) {
        if (!ok_ || static_cast<std::size_t>(end_ - p_) < n)
            ok_ = false;
        return ok_;
    }
    const unsigned char* p_;
    const unsigned char* end_;
    bool ok_ = true;
};

bool ReadComponent(Reader& r, bool isEntry0, ComponentRecord& record) {
    record.id = r.I32();
    std::uint8_t kind = r.U8();
    if (!r.ok() || !ValidKind(kind))
        return false;
    record.kind = static_cast<KindId>(kind);
    // Entry 0 is the window itself, and only entry 0 is.
    if ((record.kind == KindId::Window) != isEntry0)
        return false;
    record.name = r.ReadText();
    record.place.left = r.I32();
    record.place.top = r.I32();
    record.place.width = r.I32();
    record.place.height = r.I32();
    record.flags = r.U32();
    if (record.flags & ~(kFlagVisible | kFlagDisabled))
        return false;

    std::uint8_t eventCount = r.U8();
    for (int i = 0; i < eventCount && r.ok(); ++i) {
        BoundEvent event{r.I32(), r.U8()};
        if (event.handlerSlot >= kHandlerSlotCount || event.eventIndex < 0)
            return false;
        record.events.Append(event);
    }

    const ComponentKind& k = KindOf(record.kind);
    k.defaults(record);
    std::uint8_t settingCount = r.U8();
    for (int i = 0; i < settingCount && r.ok(); ++i) {
        int number = OwnNumber(r.U8());
        std::uint8_t type = r.U8();
        if (!r.ok() || number < 0 || number >= k.ownPropertyCount ||
            type != static_cast<std::uint8_t>(k.ownType(number)))
            return false;
        if (type == static_cast<std::uint8_t>(SettingType::Text))
            record.ownTexts[number] = r.ReadText();
        else
            record.ownValues[number] = r.I32();
    }
    return r.ok();
}

}  // namespace

const unsigned char* BuiltInDescription(std::size_t* size) {
    *size = kBuiltIn.size();
    return kBuiltIn.data();
}

ComponentRecord ComponentRecord::Clone() const {
    ComponentRecord copy;
    copy.id = id;
    copy.kind = kind;
    copy.name = Text::Copy(name.c_str());
    copy.place = place;
    if (!tag.absent())
        copy.tag = Text::Copy(tag.c_str());
    copy.mousePointer = mousePointer;
    copy.flags = flags;
    for (const BoundEvent& event : events)
        copy.events.Append(event);
    for (int i = 0; i < kMaxOwnProperties; ++i) {
        copy.ownValues[i] = ownValues[i];
        if (!ownTexts[i].absent())
            copy.ownTexts[i] = Text::Copy(ownTexts[i].c_str());
    }
    return copy;
}

bool DecodeDescription(const unsigned char* data, std::size_t size, GrowingTable<WindowEntry>& out) {
    if (data == nullptr || size < kDescriptionHeaderSize + kDescriptionTrailerSize)
        return false;
    if (std::memcmp(data, kDescriptionMagic, sizeof kDescriptionMagic) != 0)
        return false;
    std::uint32_t bodySize = data[4] | (data[5] << 8) | (data[6] << 16) | (static_cast<std::uint32_t>(data[7]) << 24);
    if (bodySize != size - kDescriptionHeaderSize - kDescriptionTrailerSize)
        return false;
    const unsigned char* body = data + kDescriptionHeaderSize;
    const unsigned char* trailer = body + bodySize;
    std::uint32_t stored =
        trailer[0] | (trailer[1] << 8) | (trailer[2] << 16) | (static_cast<std::uint32_t>(trailer[3]) << 24);
    if (stored != DescriptionChecksum(body, bodySize))
        return false;

    Reader r(body, bodySize);
    GrowingTable<WindowEntry> windows;
    std::uint8_t windowCount = r.U8();
    for (int w = 0; w < windowCount && r.ok(); ++w) {
        WindowEntry entry;
        entry.windowId = r.I32();
        entry.name = r.ReadText();
        std::uint8_t componentCount = r.U8();
        if (!r.ok() || componentCount == 0)  // a window without its entry 0
            return false;
        for (int c = 0; c < componentCount; ++c) {
            ComponentRecord record;
            if (!ReadComponent(r, c == 0, record))
                return false;
            for (const ComponentRecord& other : entry.stored)
                if (other.id == record.id)
                    return false;
            entry.stored.Append(std::move(record));
        }
        for (const WindowEntry& other : windows)
            if (other.windowId == entry.windowId)
                return false;
        windows.Append(std::move(entry));
    }
    if (!r.ok() || !r.atEnd() || windows.empty())
        return false;
    out = std::move(windows);
    return true;
}

GrowingTable<WindowEntry>& Description() { return description; }

WindowEntry* FindWindowEntry(std::int32_t windowId) {
    for (WindowEntry& entry : description)
        if (entry.windowId == windowId)
            return &entry;
    return nullptr;
}

ComponentRecord* FindRecord(WindowEntry& entry, std::int32_t componentId) {
    GrowingTable<ComponentRecord>& records = entry.records();
    if (records.empty())
        return nullptr;
    if (componentId == 0)
        return &records[0];
    for (ComponentRecord& record : records)
        if (record.id == componentId)
            return &record;
    return nullptr;
}
