// tools/signing.cpp: signing through openssl and osslsigncode (tools/signing.h).
#include "tools/signing.h"

#include "tools/host_files.h"

namespace signing {
namespace {

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    return text;
}

std::string Trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

// openssl pkcs12 on the certificate, its password and provider as found.
std::vector<std::string> Pkcs12(const Certificate& c, std::vector<std::string> more) {
    std::vector<std::string> command{"openssl", "pkcs12",  "-in",
                                     c.path,    "-passin", c.passwordFile.empty() ? "pass:" : "file:" + c.passwordFile};
    if (c.legacy)
        command.push_back("-legacy");
    command.insert(command.end(), more.begin(), more.end());
    return command;
}

// What a file that openssl does not read as PKCS#12 is, and how it becomes one.
std::string NotPkcs12(const std::string& cert) {
    const std::string exportCommand = "openssl pkcs12 -export -inkey KEY.pem";
    std::string data, error, ignored;
    (void)hostfiles::ReadWhole(cert, data, error);
    if (Contains(data, "-----BEGIN"))
        return cert +
               " is a PEM file; --sign takes a PKCS#12 file (.pfx) that holds the certificate and its key: "
               "make one with  openssl pkcs12 -export -inkey KEY.pem -in " +
               cert + " -out CERT.pfx";
    std::string kind, convert;
    if (hostfiles::RunProgramCapture({"openssl", "x509", "-inform", "DER", "-in", cert, "-noout"}, ignored, true) ==
        0) {
        kind = "a DER certificate (.cer) without its key";
        convert = "openssl x509 -inform DER -in " + cert + " -out cert.pem && " + exportCommand +
                  " -in cert.pem -out CERT.pfx";
    } else if (hostfiles::RunProgramCapture({"openssl", "pkcs7", "-inform", "DER", "-in", cert, "-noout"}, ignored,
                                            true) == 0) {
        kind = "a PKCS#7 certificate bundle (.p7b, .spc) without a key";
        convert = "openssl pkcs7 -inform DER -in " + cert + " -print_certs -out certs.pem && " + exportCommand +
                  " -in certs.pem -out CERT.pfx";
    } else if (data.compare(0, 4, "\x1e\xf1\xb5\xb0", 4) == 0) {
        kind = "a private key in Microsoft's PVK format without its certificate";
        // Most PVK files are RC4 encrypted, which OpenSSL 3 reads only through its legacy provider.
        convert = "openssl rsa -inform PVK -provider legacy -provider default -in " + cert + " -out KEY.pem && " +
                  exportCommand + " -in CERT.pem -out CERT.pfx";
    } else {
        return cert +
               " is not a PKCS#12 file (.pfx), nor a certificate or key openssl reads: export the certificate "
               "with its private key as a .pfx file (in Windows: certmgr.msc, Export, with the private key)";
    }
    return cert + " is " + kind + "; --sign takes a PKCS#12 file (.pfx) with the certificate and its key: " + convert;
}

// One field of the certificate as openssl x509 prints it ("subject=...": the text after the first '=').
std::string Field(const std::string& pemFile, const std::string& option) {
    std::string out;
    if (hostfiles::RunProgramCapture({"openssl", "x509", "-in", pemFile, "-noout", option}, out, false) != 0)
        return "";
    out = Trimmed(out);
    const std::size_t equals = out.find('=');
    return equals == std::string::npos ? out : out.substr(equals + 1);
}

}  // namespace

bool ReadCertificate(const std::string& cert, const std::string& passwordFile, const std::string& scratch,
                     Certificate& c, std::string& reason) {
#ifdef _WIN32
    // Windows signs with signtool, which the packer names instead (SigntoolCommand).
    (void)passwordFile;
    (void)scratch;
    c = {};
    reason = "on Windows, signtool signs " + cert + "'s signatures, not the packer";
    return false;
#else
    c = {};
    c.path = cert;
    std::string error;
    if (!passwordFile.empty()) {
        std::string text;
        if (!hostfiles::ReadWhole(passwordFile, text, error)) {
            reason = "cannot read the password file " + error;
            return false;
        }
        std::string line = text.substr(0, text.find('\n'));
        while (!line.empty() && line.back() == '\r')
            line.pop_back();
        // An empty password is the one of a file exported without a password: none is handed over.
        if (!line.empty()) {
            c.passwordFile = scratch + ".password";
            if (!hostfiles::WriteNewPrivate(c.passwordFile, line, error)) {
                c.passwordFile.clear();
                reason = "cannot write " + error;
                return false;
            }
        }
    }
    std::string said;
    // Older Windows and many tools still encrypt with RC2-40, which OpenSSL 3 reads only through its
    // legacy provider (osslsigncode loads that provider itself).
    if (hostfiles::RunProgramCapture(Pkcs12(c, {"-nokeys", "-clcerts"}), said, true) != 0 &&
        Contains(said, "unsupported"))
        c.legacy = true;
    if (hostfiles::RunProgramCapture(Pkcs12(c, {"-nokeys", "-clcerts"}), c.pem, false) != 0) {
        (void)hostfiles::RunProgramCapture(Pkcs12(c, {"-nokeys", "-clcerts"}), said, true);
        if (Contains(said, "unsupported")) {
            const std::size_t at = said.find("Algorithm (");
            const std::string algorithm = at == std::string::npos ? "" : said.substr(at, said.find(')', at) - at + 1);
            reason = cert + " is a PKCS#12 file encrypted in a way openssl cannot read even with -legacy (" +
                     algorithm + "): export it again with AES, or convert it: openssl pkcs12 -in " + cert +
                     " -nodes -out all.pem && openssl pkcs12 -export -in all.pem -out CERT.pfx";
        } else if (Contains(Lower(said), "mac verify") || Contains(Lower(said), "invalid password") ||
                   Contains(Lower(said), "bad decrypt")) {
            reason = passwordFile.empty()
                         ? cert + " needs its password: give it with --password-file FILE (the file's first line)"
                         : "the password in " + passwordFile + " does not open " + cert +
                               ": check the password file (its first line is read, without its line end)";
        } else {
            reason = NotPkcs12(cert);
        }
        return false;
    }
    std::string keys;
    if (hostfiles::RunProgramCapture(Pkcs12(c, {"-nocerts", "-nodes"}), keys, false) != 0 ||
        !Contains(keys, "PRIVATE KEY")) {
        reason = cert +
                 " holds no private key: export the certificate with its key (openssl pkcs12 -export -inkey "
                 "KEY.pem ...)";
        return false;
    }
    if (!Contains(c.pem, "BEGIN CERTIFICATE")) {
        reason = cert + " holds no certificate";
        return false;
    }
    const std::string pemFile = scratch + ".pem";
    if (!hostfiles::WriteNew(pemFile, c.pem, error)) {
        reason = "cannot write " + error;
        return false;
    }
    c.subject = Field(pemFile, "-subject");
    c.notAfter = Field(pemFile, "-enddate");
    std::string fingerprint;
    if (hostfiles::RunProgramCapture({"openssl", "x509", "-in", pemFile, "-noout", "-fingerprint", "-sha256"},
                                     fingerprint, false) == 0)
        c.sha256 = Trimmed(fingerprint.substr(fingerprint.find('=') + 1));
    std::string ignored;
    const bool current = hostfiles::RunProgramCapture({"openssl", "x509", "-in", pemFile, "-noout", "-checkend", "0"},
                                                      ignored, true) == 0;
    (void)hostfiles::RemoveFile(pemFile, error);
    if (!current) {
        reason = "the certificate in " + cert + " expired on " + c.notAfter +
                 ": renew it; Windows shows a signature made with it as invalid";
        return false;
    }
    return true;
#endif
}

bool Sign(const Certificate& c, const std::string& in, const std::string& out, const std::string& timestampUrl,
          const std::string& signingTime, std::string& reason) {
    // Bounded: a time-stamp server that takes the connection and never answers would hold the run.
    std::vector<std::string> command{"timeout", "300", "osslsigncode", "sign", "-pkcs12", c.path, "-h", "sha256"};
    // osslsigncode refuses an empty password file; without -readpass it takes the empty password.
    if (!c.passwordFile.empty())
        command.insert(command.end(), {"-readpass", c.passwordFile});
    if (!timestampUrl.empty())
        command.insert(command.end(), {"-ts", timestampUrl});
    // The signing time is part of the signature: fixed where the build is to be reproducible.
    if (!signingTime.empty())
        command.insert(command.end(), {"-time", signingTime});
    command.insert(command.end(), {"-in", in, "-out", out});
    std::string log;
    if (hostfiles::RunProgramCapture(command, log, true) == 0)
        return true;
    const std::string lower = Lower(log);
    if (!timestampUrl.empty() &&
        (log.empty() || Contains(lower, "timestamp") || Contains(lower, "http failure") || Contains(lower, "curl")))
        reason = "the time-stamp server " + timestampUrl +
                 " did not answer, so nothing was signed: check the URL and the network, or leave --timestamp-url out "
                 "to sign without a time stamp";
    else
        reason = "osslsigncode could not sign with " + c.path + " (what it said follows)";
    // osslsigncode's own lines, without OpenSSL's error stack.
    std::size_t shown = 0;
    for (std::size_t at = 0; at < log.size() && shown < 12;) {
        std::size_t end = log.find('\n', at);
        end = end == std::string::npos ? log.size() : end;
        const std::string line = log.substr(at, end - at);
        at = end + 1;
        const std::size_t colon = line.find(":error:");
        const bool stack =
            colon != std::string::npos && colon >= 8 && line.find_first_not_of("0123456789ABCDEF") == colon;
        if (line.empty() || stack)
            continue;
        reason += "\n  " + line;
        ++shown;
    }
    return false;
}

void Forget(Certificate& c) {
    std::string error;
    if (!c.passwordFile.empty())
        (void)hostfiles::RemoveFile(c.passwordFile, error);
    c.passwordFile.clear();
}

std::string SigntoolCommand(const std::string& cert, bool withPassword, const std::string& timestampUrl,
                            const std::string& out) {
    std::string command = "signtool sign /fd SHA256 /f " + cert;
    if (withPassword)
        command += " /p PASSWORD";
    if (!timestampUrl.empty())
        command += " /tr " + timestampUrl + " /td SHA256";
    return command + " " + out;
}

}  // namespace signing
