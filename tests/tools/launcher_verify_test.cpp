// --verify on launchers packed here from a small image in the prebuilt launcher's shape, signed at test
// time by osslsigncode with certificates openssl makes: unsigned, valid against a root or a pinned
// signer, unverified without either, and the tampered cases (a byte changed after signing, another
// signer, a chain to another root, bytes appended, a padded certificate table, an archive that is not
// the one recorded). The signature lines are those an independent reader gave on the same files,
// and damaged signatures must be refused without a read out of bounds (this program runs under the
// sanitizers).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <unistd.h>

#include "tools/authenticode.h"
#include "tools/launcher_image.h"
#include "tools/launcher_verify.h"
#include "tools/zip_writer.h"

namespace {

namespace fs = std::filesystem;
using peimage::Bytes;
using peimage::Get32;
using peimage::Put16;
using peimage::Put32;

constexpr std::size_t kPe = 0x40, kOpt = kPe + 24, kDirs = kOpt + 96, kSections = kOpt + 224;
constexpr std::uint32_t kRsrcRva = 0x2000, kRsrcRaw = 0x400;

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

std::string Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void Spill(const fs::path& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

// A command's standard output, and its exit status in `status`.
std::string Shell(const std::string& command, int& status) {
    std::string out;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe) {
        status = -1;
        return out;
    }
    char buffer[4096];
    while (std::size_t got = std::fread(buffer, 1, sizeof buffer, pipe))
        out.append(buffer, got);
    status = pclose(pipe);
    return out;
}

// A PE32 image as the build links the prebuilt launcher: .text, .rsrc, .reloc, then the empty archive
// section last.
Bytes MakePrebuilt() {
    Bytes rsrc;
    std::string reason;
    std::vector<peimage::Resource> list = {
        {peimage::ResourceId::Id(peimage::kTypeVersion), peimage::ResourceId::Id(1), 0x804, 0, Bytes(60, 1)}};
    EXPECT_TRUE(resources::BuildSection(list, kRsrcRva, rsrc, reason)) << reason;
    const std::uint32_t rsrcRaw = std::uint32_t((rsrc.size() + 0x1FF) / 0x200 * 0x200);
    const std::uint32_t relocRva = kRsrcRva + std::uint32_t((rsrc.size() + 0xFFF) / 0x1000 * 0x1000);
    const std::uint32_t relocRaw = kRsrcRaw + rsrcRaw, payloadRaw = relocRaw + 0x200;
    Bytes b(payloadRaw + 0x200);
    b[0] = 'M', b[1] = 'Z';
    Put32(b, 0x3C, kPe);
    Put32(b, kPe, 0x4550);
    Put16(b, kPe + 4, 0x14C);
    Put16(b, kPe + 6, 4);
    Put16(b, kPe + 20, 224);
    Put16(b, kOpt, 0x10B);
    Put32(b, kOpt + 8, rsrcRaw + 0x400);
    Put32(b, kOpt + 16, 0x1000);
    Put32(b, kOpt + 28, 0x400000);
    Put32(b, kOpt + 32, 0x1000);
    Put32(b, kOpt + 36, 0x200);
    Put32(b, kOpt + 56, relocRva + 0x2000);
    Put32(b, kOpt + 60, 0x200);
    Put16(b, kOpt + 68, 2);  // the Windows GUI
    Put32(b, kOpt + 92, 16);
    Put32(b, kDirs + 16, kRsrcRva);
    Put32(b, kDirs + 20, std::uint32_t(rsrc.size()));
    Put32(b, kDirs + 40, relocRva);
    Put32(b, kDirs + 44, 12);
    const auto section = [&](int i, const char* name, std::uint32_t vsize, std::uint32_t va, std::uint32_t raw,
                             std::uint32_t flags) {
        const std::size_t h = kSections + 40 * i;
        std::memcpy(&b[h], name, std::strlen(name));
        Put32(b, h + 8, vsize);
        Put32(b, h + 12, va);
        Put32(b, h + 16, 0x200);
        Put32(b, h + 20, raw);
        Put32(b, h + 36, flags);
    };
    section(0, ".text", 0x100, 0x1000, 0x200, 0x60000020);
    section(1, ".rsrc", std::uint32_t(rsrc.size()), kRsrcRva, kRsrcRaw, 0x40000040);
    section(2, ".reloc", 12, relocRva, relocRaw, 0x42000040);
    section(3, ".payload", 8, relocRva + 0x1000, payloadRaw, 0x40000040);
    std::copy(rsrc.begin(), rsrc.end(), b.begin() + kRsrcRaw);
    Put32(b, relocRaw, 0x1000);
    Put32(b, relocRaw + 4, 12);
    Put16(b, relocRaw + 8, 0x3000 | 0x10);
    Put32(b, payloadRaw, 1);  // the empty array: dimension count 1, length 0
    return b;
}

const char kManifest[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
    "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">\n"
    "  <assemblyIdentity type=\"win32\" name=\"Kestrelworks.Launcher\" version=\"1.0.0.0\"/>\n"
    "  <trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v3\"><security><requestedPrivileges>\n"
    "    <requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>\n"
    "  </requestedPrivileges></security></trustInfo>\n"
    "</assembly>\n";

std::string PayloadArchive() {
    std::vector<zipwriter::Entry> entries(3);
    entries[0].name = "Velkar/";
    entries[0].folder = true;
    entries[1].name = "Velkar/Velkar.exe";
    entries[1].data = "MZ the application";
    entries[2].name = "Velkar/readme.txt";
    entries[2].data = std::string(3000, 'r');
    return zipwriter::BuildArchive(entries);
}

struct Outcome {
    int code = 0;
    std::string out, err, report;
};

class VerifyTest : public testing::Test {
protected:
    static fs::path dir;
    static std::string signerFingerprint, otherFingerprint;

    static void SetUpTestSuite() {
        dir = fs::temp_directory_path() / ("launcher-verify-" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        Bytes packed;
        launcherimage::Place place;
        launcherimage::Settings settings;
        settings.version = {2, 3, 4, 5};
        settings.icon = std::vector<resources::IconImage>{{16, 16, 0, 0, 1, 32, Bytes(40, 0x11)},
                                                          {48, 48, 0, 0, 1, 32, Text("\x89PNG\r\n\x1a\n 48")}};
        settings.manifest = Text(kManifest);
        const std::string zip = PayloadArchive();
        std::string reason;
        ASSERT_TRUE(launcherimage::Pack(MakePrebuilt(), Bytes(zip.begin(), zip.end()), settings, packed, place, reason))
            << reason;
        Spill(dir / "unsigned.exe", std::string(packed.begin(), packed.end()));
        int status = 0;
        for (const char* who : {"signer", "other"}) {
            const std::string base = (dir / who).string();
            const std::string said = Shell("openssl req -x509 -newkey rsa:2048 -nodes -keyout " + base + ".key -out " +
                                               base + ".pem -days 30 -subj '/CN=Kestrelworks test signer'",
                                           status);
            ASSERT_EQ(status, 0) << said;
        }
        // A root and a signer it issued, the signer's file carrying the root after it (as a chain is given
        // to osslsigncode), and one carrying the signer alone.
        const std::string root = (dir / "root").string(), leaf = (dir / "leaf").string();
        for (const std::string& command :
             {"openssl req -x509 -newkey rsa:2048 -nodes -keyout " + root + ".key -out " + root +
                  ".pem -days 30 -subj '/CN=Kestrelworks test root/O=Kestrelworks, Ltd.'",
              "openssl req -newkey rsa:3072 -nodes -keyout " + leaf + ".key -out " + leaf +
                  ".csr -subj '/CN=Kestrelworks test signer'",
              "openssl x509 -req -in " + leaf + ".csr -CA " + root + ".pem -CAkey " + root +
                  ".key -set_serial 7 "
                  "-days 30 -out " +
                  leaf + ".pem",
              "cat " + leaf + ".pem " + root + ".pem > " + (dir / "chain").string() + ".pem && cp " + leaf + ".key " +
                  (dir / "chain").string() + ".key"}) {
            const std::string said = Shell(command, status);
            ASSERT_EQ(status, 0) << command << "\n" << said;
        }
        // A time-stamping authority of osslsigncode's own (no server), stamping at the present second.
        const std::string tsa = (dir / "tsa").string();
        const std::string said = Shell("openssl req -x509 -newkey rsa:2048 -nodes -keyout " + tsa + ".key -out " + tsa +
                                           ".pem -days 30 -subj '/CN=Kestrelworks test TSA' -addext "
                                           "'extendedKeyUsage=critical,timeStamping'",
                                       status);
        ASSERT_EQ(status, 0) << said;
        Sign("unsigned.exe", "stamped.exe", "signer",
             "-TSA-certs " + tsa + ".pem -TSA-key " + tsa + ".key -TSA-time " + std::to_string(std::time(nullptr)));
        Sign("unsigned.exe", "chained.exe", "chain");
        Sign("unsigned.exe", "leaf.exe", "leaf");
        signerFingerprint = Fingerprint("signer");
        otherFingerprint = Fingerprint("other");
        Sign("unsigned.exe", "signed.exe", "signer");
        Sign("unsigned.exe", "resigned.exe", "other");
        Sign("signed.exe", "nested.exe", "other", "-nest -h sha1");
    }
    static void TearDownTestSuite() { fs::remove_all(dir); }

    static std::string Fingerprint(const std::string& who) {
        int status = 0;
        std::string out =
            Shell("openssl x509 -noout -fingerprint -sha256 -in " + (dir / (who + ".pem")).string(), status);
        out = out.substr(out.find('=') + 1);
        return out.substr(0, out.find_first_of("\r\n"));
    }
    static void Sign(const std::string& in, const std::string& out, const std::string& who,
                     const std::string& options = "") {
        int status = 0;
        const std::string base = (dir / who).string();
        const std::string said = Shell("osslsigncode sign -certs " + base + ".pem -key " + base + ".key " + options +
                                           " -in " + (dir / in).string() + " -out " + (dir / out).string(),
                                       status);
        ASSERT_EQ(status, 0) << said;
    }

    static std::string Ca(const std::string& who) { return (dir / (who + ".pem")).string(); }

    // Verify on `file`, its lines and report captured.
    static Outcome Check(const std::string& file, std::vector<std::string> ca = {}, std::vector<std::string> pins = {},
                         bool require = false) {
        launcherverify::Request request;
        request.launcher = (dir / file).string();
        request.shownAs = file;
        request.caFiles = std::move(ca);
        request.signers = std::move(pins);
        request.requireSignature = require;
        request.reportPath = (dir / "report.json").string();
        request.toolName = "pack-payload";
        request.toolVersion = "test";
        fs::remove(request.reportPath);
        Outcome o;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        o.code = launcherverify::Verify(request);
        o.out = testing::internal::GetCapturedStdout();
        o.err = testing::internal::GetCapturedStderr();
        o.report = Slurp(request.reportPath);
        return o;
    }

    static std::vector<std::string> Failures(const Outcome& o) {
        std::vector<std::string> found;
        std::istringstream lines(o.err);
        for (std::string line; std::getline(lines, line);)
            if (line.rfind("failed: ", 0) == 0)
                found.push_back(line);
        return found;
    }

    static std::string Modified(const std::string& from, const std::string& to,
                                const std::function<void(std::string&)>& change) {
        std::string data = Slurp(dir / from);
        change(data);
        Spill(dir / to, data);
        return to;
    }
};

fs::path VerifyTest::dir;
std::string VerifyTest::signerFingerprint, VerifyTest::otherFingerprint;

TEST_F(VerifyTest, AnUnsignedLauncherHoldsUnlessASignatureIsRequired) {
    Outcome o = Check("unsigned.exe");
    EXPECT_EQ(o.code, 0) << o.out << o.err;
    EXPECT_NE(o.out.find("  version:       2.3.4.5 ("), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("  icon:          16 x 16 32-bit, 48 x 48 PNG\n"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("  manifest:      Kestrelworks.Launcher, asInvoker\n"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("  entries:       3 (1 folders, 2 files)\n"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("  signature:     none\n"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("unsigned.exe: all holds"), std::string::npos);
    EXPECT_NE(o.report.find("\"report_format\": 2"), std::string::npos);
    EXPECT_NE(o.report.find("\"section\": \".payload\""), std::string::npos) << o.report;
    EXPECT_NE(o.report.find("\"path\": \"Velkar\\\\Velkar.exe\""), std::string::npos) << o.report;
    EXPECT_NE(o.report.find("\"state\": \"unsigned\""), std::string::npos);

    o = Check("unsigned.exe", {}, {}, true);
    EXPECT_EQ(o.code, 1);
    EXPECT_EQ(Failures(o), std::vector<std::string>{"failed: it is not signed (--require-signature)"});
    EXPECT_NE(o.report.find("\"holds\": false"), std::string::npos);
}

TEST_F(VerifyTest, ASignatureIsValidAgainstItsRootOrItsPinnedSignerInAnySpelling) {
    Outcome o = Check("signed.exe", {Ca("signer")}, {}, true);
    EXPECT_EQ(o.code, 0) << o.err;
    EXPECT_NE(o.out.find("  signature:     valid (the signed digest matches the file's)\n"), std::string::npos);
    EXPECT_NE(o.out.find("  signer:        CN = Kestrelworks test signer\n"), std::string::npos);
    EXPECT_NE(o.out.find("  chain:         verified against " + Ca("signer")), std::string::npos);
    EXPECT_NE(o.report.find("\"signer_sha256\": \"" + signerFingerprint + "\""), std::string::npos) << o.report;
    EXPECT_NE(o.report.find("\"timestamp\": \"none\""), std::string::npos);

    std::string bare;
    for (const char c : signerFingerprint)
        if (c != ':')
            bare += char(std::tolower(static_cast<unsigned char>(c)));
    for (const std::string& pin : {signerFingerprint, bare, "sha256 Fingerprint=" + signerFingerprint}) {
        o = Check("signed.exe", {}, {pin}, true);
        EXPECT_EQ(o.code, 0) << pin << o.err;
        EXPECT_NE(o.out.find("  signature:     valid"), std::string::npos) << pin;
        EXPECT_NE(o.out.find("its signer's certificate is the one pinned (--signer)"), std::string::npos);
    }
}

TEST_F(VerifyTest, WithoutARootOrAPinASignatureIsPresentButItsSignerUnverified) {
    Outcome o = Check("signed.exe");
    EXPECT_EQ(o.code, 0) << o.err;
    EXPECT_NE(o.out.find("  signature:     present, signer not verified"), std::string::npos);
    EXPECT_NE(o.out.find("  chain:         not checked (--ca ROOT.pem checks it)"), std::string::npos);
    EXPECT_NE(o.report.find("\"state\": \"unverified\""), std::string::npos);
    o = Check("signed.exe", {}, {}, true);
    EXPECT_EQ(o.code, 1);
    ASSERT_EQ(Failures(o).size(), 1u);
    EXPECT_EQ(Failures(o)[0].rfind("failed: its signer is not verified (--require-signature)", 0), 0u);
}

TEST_F(VerifyTest, ATimeStampIsSaidWithItsTime) {
    const Outcome o = Check("stamped.exe", {Ca("signer")});
    EXPECT_EQ(o.code, 0) << o.err;
    const std::size_t at = o.out.find("  time stamp:    ");
    ASSERT_NE(at, std::string::npos);
    const std::string line = o.out.substr(at, o.out.find('\n', at) - at);
    EXPECT_NE(line.find(" GMT"), std::string::npos) << line;
    EXPECT_EQ(o.report.find("\"timestamp\": \"none\""), std::string::npos);
}

TEST_F(VerifyTest, AnotherSignerOfTheSameNameIsRefusedByTheRootAndByThePin) {
    Outcome o = Check("resigned.exe", {Ca("signer")});
    EXPECT_EQ(o.code, 1);
    EXPECT_EQ(Failures(o), std::vector<std::string>{"failed: the signature does not verify against " + Ca("signer") +
                                                    ": self-signed certificate"});
    o = Check("resigned.exe", {}, {signerFingerprint});
    EXPECT_EQ(o.code, 1);
    EXPECT_EQ(Failures(o),
              std::vector<std::string>{"failed: the signature's signer (/CN=Kestrelworks test signer, "
                                       "SHA-256 " +
                                       otherFingerprint + ") is not the one pinned by --signer " + signerFingerprint});
    // Every root given must vouch for it.
    o = Check("signed.exe", {Ca("signer"), Ca("other")});
    EXPECT_EQ(o.code, 1);
    EXPECT_EQ(Failures(o).size(), 1u);
    EXPECT_EQ(Check("resigned.exe").code, 0);
}

TEST_F(VerifyTest, AChainIsCheckedLinkByLinkToTheRootGiven) {
    Outcome o = Check("chained.exe", {Ca("root")}, {}, true);
    EXPECT_EQ(o.code, 0) << o.err;
    EXPECT_NE(o.out.find("  chain:         verified against " + Ca("root")), std::string::npos) << o.out;
    o = Check("chained.exe", {Ca("signer")});
    EXPECT_EQ(Failures(o), std::vector<std::string>{"failed: the signature does not verify against " + Ca("signer") +
                                                    ": self-signed certificate in certificate chain"});
    o = Check("chained.exe");
    EXPECT_EQ(o.code, 0) << o.err;
    EXPECT_NE(o.out.find("  chain:         not checked (--ca ROOT.pem checks it)"), std::string::npos);
    // The signer alone: its root is the user's to give.
    EXPECT_EQ(Check("leaf.exe", {Ca("root")}).code, 0);
    o = Check("leaf.exe");
    EXPECT_NE(o.out.find("  chain:         not checked: its root is not in the signature"), std::string::npos);
    o = Check("leaf.exe", {Ca("signer")});
    EXPECT_EQ(Failures(o), std::vector<std::string>{"failed: the signature does not verify against " + Ca("signer") +
                                                    ": unable to get local issuer certificate"});
}

TEST_F(VerifyTest, ANestedSignatureIsListedAndMustBeThePinnedSignersToo) {
    Outcome o = Check("nested.exe");
    EXPECT_EQ(o.code, 0) << o.err;
    EXPECT_NE(o.out.find("  nested 1:      signer not verified, by /CN=Kestrelworks test signer (SHA-256 " +
                         otherFingerprint + "), signed "),
              std::string::npos)
        << o.out;
    EXPECT_NE(o.report.find("\"nested\": true"), std::string::npos);
    o = Check("nested.exe", {}, {signerFingerprint});
    EXPECT_EQ(o.code, 1);
    ASSERT_EQ(Failures(o).size(), 1u);
    EXPECT_EQ(Failures(o)[0].rfind("failed: the nested signature 1's signer", 0), 0u);
    EXPECT_NE(o.out.find("  signature:     invalid"), std::string::npos);
    EXPECT_EQ(Check("nested.exe", {}, {signerFingerprint, otherFingerprint}).code, 0);
}

TEST_F(VerifyTest, ABytechangedAfterSigningFailsTheDigest) {
    // In .text, which the signature covers; the archive's record still holds.
    const std::string file = Modified("signed.exe", "changed.exe", [](std::string& d) { d[0x210] ^= 1; });
    const Outcome o = Check(file, {Ca("signer")});
    EXPECT_EQ(o.code, 1);
    EXPECT_EQ(Failures(o), std::vector<std::string>{
                               "failed: the signature's digest does not match the file: it was changed after it was "
                               "signed"});
    EXPECT_NE(o.out.find("(the signed digest differs from the file's)"), std::string::npos);
}

TEST_F(VerifyTest, ASignatureThatDoesNotHoldUnderItsKeyFailsWithAndWithoutARoot) {
    const std::string file = Modified("signed.exe", "forged.exe", [](std::string& d) {
        peimage::Image image;
        std::string reason;
        der::View pkcs7;
        std::vector<authenticode::Signature> signatures;
        ASSERT_TRUE(peimage::ReadImage(Bytes(d.begin(), d.end()), image, reason) &&
                    authenticode::SignedData(image, pkcs7, reason) &&
                    authenticode::ReadSignatures(pkcs7, signatures, reason))
            << reason;
        const Bytes& rsa = signatures[0].encryptedDigest;
        const std::size_t at = d.find(std::string(rsa.begin(), rsa.end()));
        ASSERT_NE(at, std::string::npos);
        d[at + rsa.size() / 2] ^= 0x40;
    });
    const std::string said = ": its signer's signature does not hold under the signer's key";
    Outcome o = Check(file, {Ca("signer")});
    EXPECT_EQ(Failures(o),
              std::vector<std::string>{"failed: the signature does not verify against " + Ca("signer") + said});
    o = Check(file, {}, {signerFingerprint});
    EXPECT_EQ(Failures(o), std::vector<std::string>{"failed: the signature does not verify" + said});
    EXPECT_EQ(Check(file).code, 1);
}

TEST_F(VerifyTest, NothingMayFollowTheLastSectionOrTheCertificateTable) {
    std::string file = Modified("unsigned.exe", "trailing.exe", [](std::string& d) { d += std::string(100, 'x'); });
    const std::size_t size = Slurp(dir / "unsigned.exe").size();
    Outcome o = Check(file);
    std::string at = std::to_string(size);
    for (std::size_t i = at.size(); i > 3; i -= 3)
        at.insert(i - 3, ",");
    EXPECT_EQ(Failures(o), std::vector<std::string>{"failed: 100 bytes follow the last section (from byte " + at +
                                                    "): a launcher this packager makes ends there"});
    file = Modified("signed.exe", "appended.exe", [](std::string& d) { d += std::string(16, '\0'); });
    o = Check(file, {Ca("signer")});
    EXPECT_EQ(Failures(o), std::vector<std::string>{"failed: 16 bytes follow its certificate table, which must end "
                                                    "the file"});

    // 4 KiB more in the table and in its WIN_CERTIFICATE alike: Windows hashes neither, so the digest and the
    // chain still verify, and only the signature's own length tells the padding.
    file = Modified("signed.exe", "padded.exe", [](std::string& d) {
        Bytes b(d.begin(), d.end());
        const std::uint32_t table = Get32(b, kDirs + 32), size = Get32(b, kDirs + 36);
        Put32(b, kDirs + 36, size + 4096);
        Put32(b, table, Get32(b, table) + 4096);
        b.resize(b.size() + 4096);
        d.assign(b.begin(), b.end());
    });
    o = Check(file, {Ca("signer")});
    ASSERT_EQ(Failures(o).size(), 1u) << o.err;
    EXPECT_EQ(Failures(o)[0].rfind("failed: its certificate table takes ", 0), 0u) << o.err;
    EXPECT_NE(Failures(o)[0].find(": the rest is no part of the signature"), std::string::npos);
}

TEST_F(VerifyTest, AnArchiveThatIsNotTheRecordedOneFails) {
    const std::string zip = PayloadArchive();
    // The last byte of the readme's data, inside the archive, its length unchanged: the record's digest
    // tells, and so does the entry's CRC-32.
    const std::string file = Modified("unsigned.exe", "archive.exe", [&](std::string& d) {
        const std::size_t at = d.find(zip);
        ASSERT_NE(at, std::string::npos);
        d[at + zip.find("Velkar/readme.txt") + 17 + 10] ^= 0x55;
    });
    const Outcome o = Check(file);
    EXPECT_EQ(o.code, 1);
    const std::vector<std::string> failures = Failures(o);
    ASSERT_FALSE(failures.empty());
    EXPECT_EQ(failures[0].rfind("failed: the embedded archive's bytes differ from those the build recorded", 0), 0u)
        << o.err;
}

// Manifests as a table: its fault as the row's name, the one failing point expected ("" when it holds).
TEST_F(VerifyTest, TheManifestMustBeWellFormedAndAskForNoElevation) {
    const std::string v1 = "xmlns=\"urn:schemas-microsoft-com:asm.v1\"",
                      v3 = "xmlns:v3=\"urn:schemas-microsoft-com:asm.v3\"";
    const auto level = [&](const std::string& value) {
        return "<assembly " + v1 + " " + v3 + "><assemblyIdentity name=\"A\"/><v3:trustInfo><v3:security>" +
               "<v3:requestedPrivileges><v3:requestedExecutionLevel level=\"" + value +
               "\"/></v3:requestedPrivileges></v3:security></v3:trustInfo></assembly>";
    };
    std::string nested = "<assembly " + v1 + ">";
    for (int i = 0; i < 70; ++i)
        nested += "<a>";
    for (int i = 0; i < 70; ++i)
        nested += "</a>";
    nested += "</assembly>";
    // clang-format off
    const std::vector<std::tuple<const char*, std::string, std::string>> rows = {
        {"asInvoker through a prefix", level("asInvoker"), ""},
        {"asInvoker escaped", level("as&#x49;nvoker"), ""},
        {"elevation", level("requireAdministrator"), "its manifest asks for requireAdministrator, not asInvoker"},
        {"level in another namespace",
         "<assembly " + v1 + "><trustInfo><requestedExecutionLevel level=\"asInvoker\"/></trustInfo></assembly>",
         "its manifest asks for None, not asInvoker"},
        {"a document type", "<!DOCTYPE a [<!ENTITY e \"x\">]>" + level("asInvoker"),
         "its manifest declares a document type"},
        {"an unknown entity", level("&e;"), "its manifest is not well-formed XML: an undefined entity &e; (at byte"},
        {"unclosed", level("asInvoker").substr(0, 60), "its manifest is not well-formed XML: "},
        {"crossed tags", "<assembly " + v1 + "><a><b></a></b></assembly>",
         "its manifest is not well-formed XML: the end tag </a> closes no element of that name"},
        {"two roots", level("asInvoker") + "<assembly/>", "its manifest is not well-formed XML: a second root element"},
        {"nested too deep", nested, "its manifest is not well-formed XML: elements nested too deep"},
    };
    // clang-format on
    const std::string zip = PayloadArchive();
    for (const auto& [name, manifest, expected] : rows) {
        launcherimage::Settings settings;
        settings.icon = std::vector<resources::IconImage>{{16, 16, 0, 0, 1, 32, Bytes(40, 0x11)}};
        settings.manifest = Text(manifest);
        Bytes packed;
        launcherimage::Place place;
        std::string reason;
        ASSERT_TRUE(
            launcherimage::Pack(MakePrebuilt(), Bytes(zip.begin(), zip.end()), settings, packed, place, reason));
        Spill(dir / "manifest.exe", std::string(packed.begin(), packed.end()));
        const Outcome o = Check("manifest.exe");
        if (expected.empty()) {
            EXPECT_EQ(o.code, 0) << name << "\n" << o.err;
            continue;
        }
        ASSERT_EQ(Failures(o).size(), 1u) << name << "\n" << o.err;
        EXPECT_EQ(Failures(o)[0].rfind("failed: " + expected, 0), 0u) << name << "\n" << o.err;
    }
}

TEST_F(VerifyTest, AFileThatIsNoLauncherIsNamedSo) {
    Spill(dir / "payload.zip", PayloadArchive());
    const Outcome o = Check("payload.zip");
    EXPECT_EQ(o.code, 1);
    EXPECT_EQ(Failures(o), std::vector<std::string>{"failed: payload.zip: not a Windows program (no MZ header)"});
    EXPECT_NE(o.report.find("\"archive\": null"), std::string::npos);
}

// Every byte of the signature changed in turn: each answer is a refusal or a sound verdict, never a read
// out of bounds, and a change in what the signer signed never verifies.
TEST_F(VerifyTest, DamagedSignaturesAreRefusedWithoutReadingOutOfBounds) {
    const std::string signedFile = Slurp(dir / "signed.exe");
    Bytes b(signedFile.begin(), signedFile.end());
    const std::uint32_t table = Get32(b, kDirs + 32), size = Get32(b, kDirs + 36);
    std::vector<authenticode::Certificate> roots;
    std::string reason;
    ASSERT_TRUE(authenticode::ReadCertificateFile(Slurp(Ca("signer")), roots, reason)) << reason;
    peimage::Image image;
    ASSERT_TRUE(peimage::ReadImage(b, image, reason));
    // The table is no part of the image's digest, so one digest serves every damaged copy.
    Bytes digest;
    ASSERT_TRUE(authenticode::ImageDigest(image, authenticode::Hash::kSha256, digest, reason));
    int verified = 0, tried = 0;
    for (std::uint32_t at = table + 8; at < table + size; ++at) {
        for (const std::uint8_t flip : {0xFF}) {
            image.file[at] ^= flip;
            ++tried;
            der::View pkcs7;
            std::vector<authenticode::Signature> signatures;
            std::string error;
            if (authenticode::SignedData(image, pkcs7, reason) &&
                authenticode::ReadSignatures(pkcs7, signatures, reason) && signatures[0].problem.empty() &&
                signatures[0].imageHash == authenticode::Hash::kSha256 && digest == signatures[0].signedImageDigest &&
                authenticode::SignatureHolds(signatures[0], error) &&
                authenticode::ChainsTo(signatures[0], roots, std::time(nullptr), error))
                ++verified;
            image.file[at] ^= flip;
        }
    }
    // What no signature covers may change and still verify: the versions, the list of digest algorithms
    // the SignedData names, the padding behind it (a few dozen bytes). The content, the attributes, the
    // signature and the certificate never do.
    EXPECT_LT(verified, 40) << "of " << tried;
    const Outcome o = Check("signed.exe", {Ca("signer")});
    EXPECT_EQ(o.code, 0);
}

// The signature lines of each case, as the earlier packaging tool (an independent reader in Python) gave
// them on the same files. What changes from run to run is written as {signer}, {other} and {leaf} (the
// certificates' fingerprints), {dir} (the test's folder) and {time} (the signing time).
TEST_F(VerifyTest, TheSignatureLinesAreTheIndependentReadersOnTheSameFiles) {
    const auto signatureLines = [](const std::string& text) {
        std::string kept;
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);)
            for (const char* key : {"  signature:", "  signer:", "  fingerprint:", "  signing time:", "  time stamp:",
                                    "  chain:", "  nested ", "failed: the signature", "failed: the nested"})
                if (line.rfind(key, 0) == 0)
                    kept += line + "\n";
        return kept;
    };
    const std::string leafFingerprint = Fingerprint("leaf");
    const auto placeholders = [&](std::string text) {
        for (const auto& [value, name] :
             {std::pair{signerFingerprint, "{signer}"}, std::pair{otherFingerprint, "{other}"},
              std::pair{leafFingerprint, "{leaf}"}, std::pair{dir.string(), "{dir}"}})
            for (std::size_t at; !value.empty() && (at = text.find(value)) != std::string::npos;)
                text.replace(at, value.size(), name);
        return std::regex_replace(text, std::regex("[A-Z][a-z]{2} [ 0-9]\\d \\d\\d:\\d\\d:\\d\\d \\d{4} GMT"),
                                  "{time}");
    };
    const std::string unverified =
        "  signature:     present, signer not verified (the signed digest matches the file's)\n";
    const std::string valid = "  signature:     valid (the signed digest matches the file's)\n";
    const std::string invalid = "  signature:     invalid (the signed digest matches the file's)\n";
    const std::string signer = "  signer:        CN = Kestrelworks test signer\n";
    const std::string stamp = "  signing time:  {time}\n  time stamp:    none\n";
    const std::string unchecked = "  chain:         not checked (--ca ROOT.pem checks it)\n";
    const std::string pinned = "  chain:         not checked; its signer's certificate is the one pinned (--signer)\n";
    const auto fingerprint = [](const char* who) { return std::string("  fingerprint:   ") + who + "\n"; };
    struct Case {
        std::vector<std::string> args;
        std::string lines;
    };
    const std::vector<Case> cases = {
        {{"signed.exe"}, unverified + signer + fingerprint("{signer}") + stamp + unchecked},
        {{"signed.exe", "--ca", Ca("signer")},
         valid + signer + fingerprint("{signer}") + stamp + "  chain:         verified against {dir}/signer.pem\n"},
        {{"signed.exe", "--signer", signerFingerprint}, valid + signer + fingerprint("{signer}") + stamp + pinned},
        {{"resigned.exe", "--ca", Ca("signer")},
         invalid + signer + fingerprint("{other}") + stamp + "  chain:         failed: self-signed certificate\n" +
             "failed: the signature does not verify against {dir}/signer.pem: self-signed certificate\n"},
        {{"resigned.exe", "--signer", signerFingerprint},
         invalid + signer + fingerprint("{other}") + stamp + unchecked +
             "failed: the signature's signer (/CN=Kestrelworks test signer, SHA-256 {other}) is not the one pinned "
             "by --signer {signer}\n"},
        {{"nested.exe"},
         unverified + signer + fingerprint("{signer}") + stamp + unchecked +
             "  nested 1:      signer not verified, by /CN=Kestrelworks test signer (SHA-256 {other}), signed "
             "{time}\n"},
        {{"nested.exe", "--signer", signerFingerprint},
         invalid + signer + fingerprint("{signer}") + stamp + pinned +
             "  nested 1:      invalid, by /CN=Kestrelworks test signer (SHA-256 {other}), signed {time}\n" +
             "failed: the nested signature 1's signer (/CN=Kestrelworks test signer, SHA-256 {other}) is not the "
             "one pinned by --signer {signer}\n"},
        {{"chained.exe", "--ca", Ca("root")},
         valid + signer + fingerprint("{leaf}") + stamp + "  chain:         verified against {dir}/root.pem\n"},
        {{"leaf.exe", "--ca", Ca("root")},
         valid + signer + fingerprint("{leaf}") + stamp + "  chain:         verified against {dir}/root.pem\n"}};
    for (const Case& c : cases) {
        std::string options;
        std::vector<std::string> ca, pins;
        for (std::size_t i = 1; i + 1 < c.args.size(); i += 2) {
            options += " " + c.args[i] + " '" + c.args[i + 1] + "'";
            (c.args[i] == "--ca" ? ca : pins).push_back(c.args[i + 1]);
        }
        const Outcome ours = Check(c.args[0], ca, pins);
        EXPECT_EQ(placeholders(signatureLines(ours.out + ours.err)), c.lines) << c.args[0] << options;
    }
}

}  // namespace
