// tools/signing.h: Authenticode signing for the packer on Linux, through openssl (reading the PKCS#12
// file) and osslsigncode (signing), as programs run without a shell. Every refusal is one line that says
// what the file is and how to make the one needed. On Windows the packer signs nothing: it prints the
// signtool command instead (SigntoolCommand).
#pragma once
#include <string>
#include <vector>

namespace signing {

struct Certificate {
    std::string path;                       // the PKCS#12 file
    std::string passwordFile;               // a private file holding the password, or "" for none
    bool legacy = false;                    // RC2-40 encrypted: openssl needs its legacy provider
    std::string pem;                        // the signer's certificate, PEM
    std::string subject, notAfter, sha256;  // as openssl prints them
};

// Reads `cert` with the password (the first line of `passwordFile`, without its line end, CR LF
// included; "" for none): it opens, holds a private key and a certificate that has not expired.
// `scratch` is a fresh name prefix for the private files this needs (removed by Forget). False with
// `reason` in one line.
[[nodiscard]] bool ReadCertificate(const std::string& cert, const std::string& passwordFile, const std::string& scratch,
                                   Certificate& certificate, std::string& reason);

// Signs the file `in` into the new file `out` with SHA-256, time-stamped by `timestampUrl` where given and
// at `signingTime` (seconds since 1970) where it is not empty. False with `reason` (its first line says
// what failed, the lines after what osslsigncode said).
[[nodiscard]] bool Sign(const Certificate& certificate, const std::string& in, const std::string& out,
                        const std::string& timestampUrl, const std::string& signingTime, std::string& reason);

// Removes the private files ReadCertificate made.
void Forget(Certificate& certificate);

// The one signtool command that signs `out` as the Linux packer would.
std::string SigntoolCommand(const std::string& cert, bool withPassword, const std::string& timestampUrl,
                            const std::string& out);

}  // namespace signing
