// SHA-256 against the standard's vectors, and the same digest however the message is split across
// updates (the block boundary and the padding's two cases are where a hand-written hash goes wrong).
// Each test runs through both block functions: the processor's SHA extensions (where it has them) and the
// portable code, which must agree byte for byte since packages are compared across machines.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

#include "tools/sha256.h"

namespace {

// Runs `body` once on the path this processor takes and once forced through the portable code.
template <typename Body>
void OnBothPaths(Body body) {
    struct Restore {
        ~Restore() { sha256::ForcePortable(false); }
    } restore;
    for (bool portable : {false, true}) {
        SCOPED_TRACE(portable ? "portable code" : sha256::UsesShaExtensions() ? "SHA extensions" : "portable (chosen)");
        sha256::ForcePortable(portable);
        body();
    }
}

TEST(Sha256, GivesTheStandardVectors) {
    const std::pair<std::string, std::string> vectors[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrst"
         "nopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
    };
    OnBothPaths([&] {
        for (const auto& [message, digest] : vectors)
            EXPECT_EQ(sha256::HexHash(message.data(), message.size()), digest) << '"' << message << '"';
    });
}

TEST(Sha256, GivesTheMillionAVector) {
    const std::string message(1000000, 'a');
    OnBothPaths([&] {
        EXPECT_EQ(sha256::HexHash(message.data(), message.size()),
                  "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    });
}

TEST(Sha256, GivesTheSameDigestHoweverTheMessageIsSplit) {
    OnBothPaths([] {
        // Lengths around both padding cases (55, 56, 63, 64 bytes) and across several blocks.
        for (std::size_t length : {0, 1, 55, 56, 57, 63, 64, 65, 119, 120, 200}) {
            std::string message;
            for (std::size_t i = 0; i < length; ++i)
                message += char('a' + i * 7 % 26);
            const std::string whole = sha256::HexHash(message.data(), message.size());
            for (std::size_t step : {1, 3, 63, 64, 65}) {
                sha256::Hasher hasher;
                for (std::size_t at = 0; at < length; at += step)
                    hasher.Update(message.data() + at, std::min(step, length - at));
                EXPECT_EQ(sha256::Hex(hasher.Finish()), whole) << "length " << length << ", step " << step;
            }
        }
    });
}

TEST(Sha256, BothPathsAgreeOnRandomMessagesAndSplits) {
    std::mt19937 random(20261211);
    std::string message(70000, '\0');
    for (char& c : message)
        c = char(random());
    for (int round = 0; round < 200; ++round) {
        const std::size_t length = random() % message.size(), split = length ? random() % length : 0;
        sha256::ForcePortable(true);
        const std::string portable = sha256::HexHash(message.data(), length);
        sha256::ForcePortable(false);
        sha256::Hasher hasher;  // the chosen path, the message in two updates
        hasher.Update(message.data(), split);
        hasher.Update(message.data() + split, length - split);
        ASSERT_EQ(sha256::Hex(hasher.Finish()), portable) << "length " << length << ", split " << split;
    }
}

}  // namespace
