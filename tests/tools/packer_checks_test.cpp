// The packer's checks of its inputs on bytes made here: icons whole and damaged at each boundary (this
// program runs under the sanitizers, so a hostile directory or header read out of bounds fails it), the
// version numbers, the version block's texts in code page 936, and the hint beside an archive's refusals.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tools/packer_checks.h"

namespace {

using packerchecks::IconFacts;

void Put(std::string& b, std::size_t at, std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i)
        b[at + i] = char(v >> (8 * i));
}

// An icon's DIB: a 40-byte header (height doubled: picture and mask), the colours, the picture, the mask.
std::string Bitmap(int size, int bits, std::uint32_t coloursUsed = 0) {
    const std::size_t colours = coloursUsed ? coloursUsed : bits <= 8 ? 1u << bits : 0;
    const std::size_t row = (std::size_t(size) * bits + 31) / 32 * 4, mask = (std::size_t(size) + 31) / 32 * 4 * size;
    std::string b(40 + 4 * colours + row * size + mask, '\x11');
    Put(b, 0, 40, 4);
    Put(b, 4, std::uint32_t(size), 4);
    Put(b, 8, std::uint32_t(2 * size), 4);
    Put(b, 12, 1, 2);
    Put(b, 14, std::uint32_t(bits), 2);
    Put(b, 16, 0, 4);
    Put(b, 32, coloursUsed, 4);
    return b;
}

std::string Png(std::uint32_t width, std::uint32_t height) {
    std::string b = std::string("\x89PNG\r\n\x1a\n", 8) + std::string("\0\0\0\x0dIHDR", 8) + std::string(8, '\0') +
                    std::string(9, '\0');
    for (int i = 0; i < 4; ++i) {
        b[16 + i] = char(width >> (24 - 8 * i));
        b[20 + i] = char(height >> (24 - 8 * i));
    }
    return b;
}

struct Image {
    int size;
    std::string data;
};

std::string Icon(const std::vector<Image>& images) {
    std::string out(6 + 16 * images.size(), '\0');
    Put(out, 2, 1, 2);
    Put(out, 4, std::uint32_t(images.size()), 2);
    std::uint32_t offset = std::uint32_t(out.size());
    for (std::size_t i = 0; i < images.size(); ++i) {
        const std::size_t at = 6 + 16 * i;
        Put(out, at, std::uint32_t(images[i].size % 256), 1);
        Put(out, at + 1, std::uint32_t(images[i].size % 256), 1);
        Put(out, at + 8, std::uint32_t(images[i].data.size()), 4);
        Put(out, at + 12, offset, 4);
        offset += std::uint32_t(images[i].data.size());
    }
    for (const Image& image : images)
        out += image.data;
    return out;
}

std::string Refusal(const std::string& icon) {
    std::vector<IconFacts> facts;
    std::string reason;
    EXPECT_FALSE(packerchecks::CheckIcon(icon, facts, reason));
    return reason;
}

TEST(CheckIcon, TakesBitmapsAndA256PixelPngAndSaysTheSizesExplorerLacks) {
    const std::string icon = Icon({{16, Bitmap(16, 32)}, {32, Bitmap(32, 4)}, {256, Png(256, 256)}});
    std::vector<IconFacts> facts;
    std::string reason;
    ASSERT_TRUE(packerchecks::CheckIcon(icon, facts, reason)) << reason;
    ASSERT_EQ(facts.size(), 3u);
    EXPECT_EQ(facts[1].kind, "4-bit");
    EXPECT_EQ(facts[2].width, 256);  // a directory's 0 is 256
    EXPECT_EQ(facts[2].kind, "PNG");
    EXPECT_EQ(packerchecks::DescribeIcon("a.ico", facts),
              "Icon a.ico: 3 images (16 x 16 32-bit, 32 x 32 4-bit, 256 x 256 PNG)\n"
              "  note: no 48 x 48 image: Explorer scales another one for that size\n");
}

TEST(CheckIcon, TellsA32BitBitmapWithoutItsMaskFromOneCutShorter) {
    const std::string bitmap = Bitmap(16, 32);
    const std::size_t mask = 4 * 16;
    EXPECT_NE(Refusal(Icon({{16, bitmap.substr(0, bitmap.size() - mask)}})).find("without its mask"),
              std::string::npos);
    EXPECT_NE(Refusal(Icon({{16, bitmap.substr(0, bitmap.size() - mask - 1)}})).find("is cut short"),
              std::string::npos);
    EXPECT_NE(Refusal(Icon({{16, bitmap.substr(0, bitmap.size() - 1)}})).find("without its mask"), std::string::npos);
}

TEST(CheckIcon, RefusesAHostileColourCountWithoutWrappingTheSizeAround) {
    // 2^32 - 1 colours of 4 bytes each: in 32 bits the sum would wrap to a small number and pass.
    std::string icon = Icon({{16, Bitmap(16, 8)}});
    Put(icon, 6 + 16 + 32, 0xFFFFFFFFu, 4);
    EXPECT_NE(Refusal(icon).find("is cut short"), std::string::npos);
}

TEST(CheckIcon, RefusesDirectoriesAndImagesOutsideTheFileAtTheirBoundaries) {
    std::string icon = Icon({{16, Bitmap(16, 32)}});
    std::vector<IconFacts> facts;
    std::string reason;
    EXPECT_TRUE(packerchecks::CheckIcon(icon, facts, reason)) << reason;
    EXPECT_NE(Refusal(icon.substr(0, icon.size() - 1)).find("runs past the end of the file"), std::string::npos);
    EXPECT_NE(Refusal(icon + '\0').find("1 bytes after the last image"), std::string::npos);
    std::string many = icon.substr(0, 6);
    Put(many, 4, 0xFFFF, 2);  // 65,535 entries named by a 6-byte file
    EXPECT_NE(Refusal(many).find("its directory of 65535 images runs past the end"), std::string::npos);
    std::string moved = icon;
    Put(moved, 6 + 12, 6 + 16 - 1, 4);  // one byte inside the directory
    EXPECT_NE(Refusal(moved).find("starts inside the directory (at byte 21)"), std::string::npos);
    std::string far = icon;
    Put(far, 6 + 12, 0xFFFFFFF0u, 4);  // offset + size passes 2^32
    EXPECT_NE(Refusal(far).find("runs past the end of the file"), std::string::npos);
}

TEST(CheckIcon, RefusesTwoEntriesSharingOneImageAndAPngOfAnotherSize) {
    const std::string image = Bitmap(16, 32);
    std::string twice = Icon({{16, image}, {16, image}});
    Put(twice, 6 + 16 + 12, 6 + 32, 4);  // the second entry names the first image's bytes
    twice.resize(6 + 32 + image.size());
    EXPECT_NE(Refusal(twice).find("overlaps another part of the file"), std::string::npos);
    EXPECT_NE(Refusal(Icon({{32, Png(48, 48)}})).find("holds a PNG image of 48 x 48"), std::string::npos);
    EXPECT_NE(Refusal(Png(32, 32)).find("a PNG file, not an icon"), std::string::npos);
}

TEST(ParseVersion, TakesFourNumbersUpTo65535WithLeadingZeros) {
    std::array<std::uint16_t, 4> v{};
    std::string reason;
    ASSERT_TRUE(packerchecks::ParseVersion("01.002.0.65535", "--version", v, reason)) << reason;
    EXPECT_EQ(v, (std::array<std::uint16_t, 4>{1, 2, 0, 65535}));
    EXPECT_TRUE(packerchecks::ParseVersion("0000000000000001.0.0.0", "--version", v, reason)) << reason;
    for (const char* wrong : {"1.2.3", "1.2.3.4.", "1..2.3", ".1.2.3", "1.2.3.x", "", "1.2.3.-4"}) {
        EXPECT_FALSE(packerchecks::ParseVersion(wrong, "--version", v, reason)) << wrong;
        EXPECT_EQ(reason, std::string("--version takes four numbers A.B.C.D, not '") + wrong + "'");
    }
    for (const char* large : {"1.2.3.65536", "1.99999999999999999999.3.4"}) {
        EXPECT_FALSE(packerchecks::ParseVersion(large, "--version", v, reason)) << large;
        EXPECT_EQ(reason, std::string("--version: each number is at most 65535 ('") + large + "')");
    }
}

TEST(CheckVersionText, CountsCharactersNotBytesAtEachLimit) {
    std::string reason;
    std::string chinese;
    for (int i = 0; i < 256; ++i)
        chinese += "\xE6\xAA\x80";  // 檀, three bytes in UTF-8
    EXPECT_TRUE(packerchecks::CheckVersionText("--description", chinese, reason)) << reason;
    EXPECT_FALSE(packerchecks::CheckVersionText("--description", chinese + "x", reason));
    EXPECT_EQ(reason, "--description takes at most 256 characters, not 257");
    EXPECT_TRUE(packerchecks::CheckVersionText("--product-version", std::string(64, '1'), reason)) << reason;
    EXPECT_FALSE(packerchecks::CheckVersionText("--product-version", std::string(65, '1'), reason));
    EXPECT_EQ(reason, "--product-version takes at most 64 characters, not 65");
}

TEST(CheckVersionText, RefusesWhatCodePage936CannotSpellOrIsNoLine) {
    std::string reason;
    EXPECT_TRUE(packerchecks::CheckVersionText("--copyright", "(C) 2026 \xE6\xAA\x80\xE6\xBA\xAA", reason)) << reason;
    EXPECT_TRUE(packerchecks::CheckVersionText("--company", "Kestrel \"works\"; a\\b 50%", reason)) << reason;
    const struct {
        const char* text;
        const char* said;
    } rows[] = {
        {"\xC2\xA9 2026",
         "--company holds '\xC2\xA9' (U+00A9), which code page 936 cannot spell: Windows reads these "
         "texts in that code page; write (C) instead"},                         // ©
        {"a\xF0\x9F\x98\x80", "--company holds '\xF0\x9F\x98\x80' (U+1F600)"},  // an emoji
        {"x\xF3\xA0\x81\x81", "(U+E0041), which code page 936 cannot spell"},   // a tag character, dropped
        {"a\tb", "--company holds the control character U+0009"},               //
        {"a\xC2\x9F", "--company holds the control character U+009F"},          // C1 control
        {"a\x7F", "--company holds the control character U+007F"},              //
        {" a", "--company begins or ends with a space"},                        //
        {"a\xE6\xAA", "--company is not UTF-8 text"},                           // a character cut short
        {"\xC0\xAF", "--company is not UTF-8 text"},                            // an overlong '/'
    };
    for (const auto& row : rows) {
        EXPECT_FALSE(packerchecks::CheckVersionText("--company", row.text, reason)) << row.text;
        EXPECT_NE(reason.find(row.said), std::string::npos) << reason;
    }
}

TEST(ArchiveHint, NamesTheOneMistakeTheRefusalsShow) {
    const std::string outside = "lies outside Velkar/: the launcher installs Velkar/ only";
    EXPECT_EQ(packerchecks::ArchiveHint({{"Velkar/a.txt", "holds '<'"}}, "pack-payload"), "");
    EXPECT_EQ(
        packerchecks::ArchiveHint({{"lib/a.dll", outside}, {"VELKAR.EXE", outside}}, "pack-payload").substr(0, 38),
        "hint: Velkar.exe is at the archive's t");
    EXPECT_NE(packerchecks::ArchiveHint({{"a/b/Velkar.exe", outside}}, "pack-payload")
                  .find("the application lies in a/b/, not Velkar/"),
              std::string::npos);
    EXPECT_NE(packerchecks::ArchiveHint({{"notVelkar.exe", outside}}, "pack-payload").find("every entry must lie"),
              std::string::npos);
    // Backslashes first: such an archive's entries also lie outside Velkar/ as a reader sees them.
    const std::string hint = packerchecks::ArchiveHint(
        {{"Velkar\\Velkar.exe", outside}, {"Velkar\\a.dll", "holds a backslash"}}, "bash scripts/package.sh");
    EXPECT_EQ(hint.substr(0, 45), "hint: the archive's names hold backslashes, a");
    EXPECT_NE(hint.find("(bash scripts/package.sh APP_DIR OUT.exe)"), std::string::npos);
}

}  // namespace
