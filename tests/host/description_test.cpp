// The window description: the built-in one holds the launcher's window and components; damaged or
// truncated data is refused and leaves the description in force unchanged.
#include <cstring>
#include <functional>
#include <string>

#include "tests/host/host_fixture.h"

namespace hosttest {
namespace {

using Bytes = std::vector<unsigned char>;

// Recomputes the length and the checksum after a test has changed the body, so that the decoder
// meets the structural fault itself.
Bytes Reseal(Bytes bytes) {
    std::uint32_t body = static_cast<std::uint32_t>(bytes.size() - kDescriptionHeaderSize - kDescriptionTrailerSize);
    for (int i = 0; i < 4; ++i)
        bytes[4 + i] = static_cast<unsigned char>(body >> (8 * i));
    std::uint32_t sum = DescriptionChecksum(bytes.data() + kDescriptionHeaderSize, body);
    for (int i = 0; i < 4; ++i)
        bytes[bytes.size() - 4 + i] = static_cast<unsigned char>(sum >> (8 * i));
    return bytes;
}

template <typename Build>
Bytes Written(Build build) {
    DescriptionWriter<1024> w;
    build(w);
    w.Finish();
    return Bytes(w.data(), w.data() + w.size());
}

// A sound one-window description that the bad rows vary.
void Window(DescriptionWriter<1024>& w) {
    w.Window(kLauncherWindowId, "");
    w.Component(kLauncherWindowEntryId, KindId::Window, "", {50, 50, 222, 79}, 0);
}

using DescriptionTest = HostTest;

TEST_F(DescriptionTest, BuiltInHoldsTheWindowAndBothComponentsWithTheirNames) {
    char window[64], component[64];
    ASSERT_EQ(NamePosition(kLauncherWindowId, kWatchTimerId, window, sizeof window, component, sizeof component),
              PositionNames::Found);
    EXPECT_STREQ(window, "");
    EXPECT_STREQ(component,
                 "\xCA\xB1\xD6\xD3"
                 "1");  // 时钟1
    ASSERT_EQ(NamePosition(kLauncherWindowId, kZipComponentId, window, sizeof window, component, sizeof component),
              PositionNames::Found);
    EXPECT_STREQ(component,
                 "ZIP\xD1\xB9\xCB\xF5"
                 "1");  // ZIP压缩1
    // Component 0 is entry 0, the window, which has no name.
    EXPECT_EQ(NamePosition(kLauncherWindowId, 0, window, sizeof window, component, sizeof component),
              PositionNames::Found);
    EXPECT_EQ(NamePosition(kLauncherWindowId, 0x16019999, window, sizeof window, component, sizeof component),
              PositionNames::ComponentNotFound);
    EXPECT_EQ(NamePosition(0x52019999, 0, window, sizeof window, component, sizeof component),
              PositionNames::WindowNotFound);

    struct Expected {
        std::int32_t id, left, top, width, height;
    } places[] = {
        {kLauncherWindowEntryId, 50, 50, 222, 79}, {kWatchTimerId, 32, 8, 24, 24}, {kZipComponentId, 8, 8, 24, 24}};
    for (const Expected& e : places) {
        SCOPED_TRACE(e.id);
        EXPECT_EQ(GetComponentProperty(kLauncherWindowId, e.id, 0, -1), e.left);
        EXPECT_EQ(GetComponentProperty(kLauncherWindowId, e.id, 1, -1), e.top);
        EXPECT_EQ(GetComponentProperty(kLauncherWindowId, e.id, 2, -1), e.width);
        EXPECT_EQ(GetComponentProperty(kLauncherWindowId, e.id, 3, -1), e.height);
        EXPECT_EQ(GetComponentProperty(kLauncherWindowId, e.id, kPropertyVisible, -1), 0);
        EXPECT_EQ(GetComponentProperty(kLauncherWindowId, e.id, 6, -1), 0);  // Disabled
    }
}

TEST_F(DescriptionTest, NameIsCutToTheCallersBuffer) {
    char window[8], component[4];
    ASSERT_EQ(NamePosition(kLauncherWindowId, kZipComponentId, window, sizeof window, component, sizeof component),
              PositionNames::Found);
    EXPECT_STREQ(component, "ZIP");
}

struct BadRow {
    const char* fault;
    std::function<Bytes()> make;
};

TEST_F(DescriptionTest, RefusesDamagedDataAndKeepsTheDescriptionInForce) {
    const Bytes sound = Written(Window);
    // clang-format off
    const BadRow rows[] = {
        {"empty", [] { return Bytes(); }},
        {"wrong magic", [&] { Bytes b = sound; b[0] = 'X'; return b; }},
        {"unknown version", [&] { Bytes b = sound; b[3] = 2; return b; }},
        {"body length one short", [&] { Bytes b = sound; b[4] -= 1; return b; }},
        {"body length one over", [&] { Bytes b = sound; b[4] += 1; return b; }},
        {"checksum off by one", [&] { Bytes b = sound; b.back() ^= 1; return b; }},
        {"a body byte changed", [&] { Bytes b = sound; b[kDescriptionHeaderSize + 2] ^= 0x40; return b; }},
        {"a trailing byte", [&] {
             Bytes b = sound;
             b.insert(b.end() - kDescriptionTrailerSize, 0);
             return Reseal(b);
         }},
        {"no window", [] {
             Bytes b(kDescriptionHeaderSize + 1 + kDescriptionTrailerSize, 0);  // a body of "0 windows"
             std::memcpy(b.data(), kDescriptionMagic, sizeof kDescriptionMagic);
             return Reseal(b);
         }},
        {"a window without entry 0", [] { return Written([](auto& w) { w.Window(kLauncherWindowId, ""); }); }},
        {"entry 0 is not a window", [] {
             return Written([](auto& w) {
                 w.Window(kLauncherWindowId, "");
                 w.Component(kWatchTimerId, KindId::Timer, "", {0, 0, 1, 1}, 0);
             });
         }},
        {"a second window entry", [] {
             return Written([](auto& w) {
                 Window(w);
                 w.Component(kWatchTimerId, KindId::Window, "", {0, 0, 1, 1}, 0);
             });
         }},
        {"unknown kind", [] {
             return Written([](auto& w) {
                 Window(w);
                 w.Component(kWatchTimerId, static_cast<KindId>(7), "", {0, 0, 1, 1}, 0);
             });
         }},
        {"unknown flag bit", [] {
             return Written([](auto& w) {
                 Window(w);
                 w.Component(kWatchTimerId, KindId::Timer, "", {0, 0, 1, 1}, 1u << 5);
             });
         }},
        {"handler slot past the table", [] {
             return Written([](auto& w) {
                 Window(w);
                 w.Event(0, kHandlerSlotCount);
             });
         }},
        {"setting the kind does not have", [] {
             return Written([](auto& w) {
                 Window(w);
                 w.Component(kWatchTimerId, KindId::Timer, "", {0, 0, 1, 1}, 0);
                 w.IntSetting(9, 5);  // the timer's only own property is 8
             });
         }},
        {"setting below the own properties", [] {
             return Written([](auto& w) {
                 Window(w);
                 w.IntSetting(7, 5);
             });
         }},
        {"title stored as a number", [] {
             return Written([](auto& w) {
                 Window(w);
                 w.IntSetting(8, 5);
             });
         }},
        {"two components with one id", [] {
             return Written([](auto& w) {
                 Window(w);
                 w.Component(kWatchTimerId, KindId::Timer, "", {0, 0, 1, 1}, 0);
                 w.Component(kWatchTimerId, KindId::Zip, "", {0, 0, 1, 1}, 0);
             });
         }},
        {"two windows with one id", [] {
             return Written([](auto& w) {
                 Window(w);
                 Window(w);
             });
         }},
        {"a name with a zero in it", [&] {
             Bytes b = Written([](auto& w) {
                 Window(w);
                 w.Component(kWatchTimerId, KindId::Timer, "ab", {0, 0, 1, 1}, 0);
             });
             for (std::size_t i = 0; i + 1 < b.size(); ++i)
                 if (b[i] == 'a' && b[i + 1] == 'b')
                     b[i] = 0;
             return Reseal(b);
         }},
    };
    // clang-format on
    ASSERT_TRUE(ReadWindowDescriptionFrom(sound.data(), sound.size())) << "the rows' base is sound";
    ASSERT_TRUE(ReadWindowDescription());
    for (const BadRow& row : rows) {
        SCOPED_TRACE(row.fault);
        Bytes bad = row.make();
        EXPECT_FALSE(ReadWindowDescriptionFrom(bad.data(), bad.size()));
        // The built-in description is still the one in force.
        EXPECT_EQ(GetComponentProperty(kLauncherWindowId, kWatchTimerId, 0, -1), 32);
    }
}

TEST_F(DescriptionTest, RefusesTheBuiltInDescriptionCutAtAnyLength) {
    std::size_t size = 0;
    const unsigned char* data = BuiltInDescription(&size);
    ASSERT_GT(size, 0u);
    for (std::size_t cut = 0; cut < size; ++cut)
        EXPECT_FALSE(ReadWindowDescriptionFrom(data, cut)) << "cut to " << cut << " of " << size;
    EXPECT_TRUE(ReadWindowDescriptionFrom(data, size));
}

TEST_F(DescriptionTest, ATestDescriptionMadeWithTheWriterDecodes) {
    Use(LauncherDescription(true));
    EXPECT_EQ(GetComponentProperty(kLauncherWindowId, kZipComponentId, 0, -1), 8);
}

}  // namespace
}  // namespace hosttest
