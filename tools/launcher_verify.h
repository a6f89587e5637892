// tools/launcher_verify.h: a launcher read back without running it, as `pack-payload --verify` prints it
// and as the packaging report records it: the program, its version block, icon and manifest, the archive
// where the program reads it against its record and the packer's checks, what follows the last section,
// and every Authenticode signature. The same answers on Linux and on Windows.
#pragma once
#include <string>
#include <utility>
#include <vector>

namespace launcherverify {

struct Request {
    std::string launcher;               // the file read
    std::string shownAs;                // its name in the lines and the report; empty: `launcher`
    std::vector<std::string> caFiles;   // --ca: every signer must chain to each root given
    std::vector<std::string> signers;   // --signer: SHA-256 fingerprints, as given (colons, case free)
    bool requireSignature = false;      // --require-signature
    std::string reportPath;             // --report; empty: none
    std::string toolName, toolVersion;  // the report's `tool`
    // The report's `inputs` (each value JSON text already: "null", a quoted string, true/false) and
    // `steps` (step name, seconds), given by the build or by --verify itself.
    std::vector<std::pair<std::string, std::string>> inputs;
    std::vector<std::pair<std::string, double>> steps;
};

// Reads the launcher and prints what it carries to standard output, each failing point on a line of its
// own ("failed: ..."), and writes the report when asked (also when it does not hold). 0 when all holds,
// 1 when anything fails; a report that cannot be written is a failure too.
int Verify(const Request& request);

}  // namespace launcherverify
