// fuzz/checks.h: what the archive fuzzer checks after each Extract: the files written match the
// archive's central directory, and nothing appeared outside the destination. The central directory
// is read here independently of the reader, the way minizip locates it.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/cases.h"

namespace fuzz {

// The kinds of failure a case can show; a case may show several.
enum Failure : unsigned {
    kBadResult = 1,  // Extract answered something other than 1, 0 or -1
    kMismatch = 2,   // a file's size or CRC-32 differs from every central record of its name
    kEscape = 4,     // something appeared outside the destination, or a canary file changed
    kLeftover = 8,   // the clean-up left what it should have removed, or the archive stayed held open
    kCrash = 16,     // the process running the case ended abnormally
    kHang = 32,      // the case did not end within its time bound
};
std::string FailureNames(unsigned failures);  // "mismatch, escape"; "none" for 0

struct CentralRecord {
    std::string name;  // as stored
    std::uint32_t crc = 0;
    std::uint64_t size = 0;  // uncompressed, from a ZIP64 field where the header's reads 0xFFFFFFFF
};

// The records of the central directory found through the last end record within the archive's
// last 65,535 bytes, with minizip's rule for bytes in front of the archive (the directory's offset
// is taken relative to where the directory must start so that it ends at the end record). Stops at
// the first record without its signature; empty when no end record is found.
std::vector<CentralRecord> ReadCentralDirectory(const std::string& archive);

// The folders of one fuzz run. `parent` belongs to the run alone; the archive and the destination
// sit three levels apart inside it, so that names climbing one to five levels up land in a folder
// that is looked at. Each folder between the box and the destination holds a canary file.
struct Sandbox {
    std::string parent;       // P: holds only "box" and "canary"
    std::string box;          // P\box: holds only the archive, "a" and "canary.txt"
    std::string archive;      // P\box\case.zip
    std::string destination;  // P\box\a\b\dest (with "canary.txt" beside it, and in P\box\a)
    std::string canary;       // P\canary: canary files; planted hard links share its "hard.txt",
                              // planted folder links point at its folder "linked"
};
Sandbox SandboxIn(const std::string& parent);
bool MakeSandbox(const Sandbox& sandbox);  // creates every folder but the destination

// The ids the fuzzer extracts with: the launcher's window and ZIP component, which no window of the
// fuzzer has, so no event is raised.
constexpr std::int32_t kFuzzWindowId = 0x52010001;
constexpr std::int32_t kFuzzComponentId = 0x16010043;

// Extracts the archive `bytes` into the sandbox's destination (made first where it is missing) as the
// launcher extracts its payload: the box and the destination are held, the archive is made new in
// the box with WriteBytesToChild and extracted through the handle that wrote it with ExtractInto.
// ExtractInto's result; `written` says whether the archive could be written (without it ExtractInto
// answers kExtractBadArguments). Both folders are let go before it returns.
std::int32_t ExtractAsTheLauncher(const Sandbox& sandbox, const std::string& bytes, bool* written = nullptr);

// Problems with the files under `destination` (empty when there are none): every file must have the
// size and CRC-32 of a central record of its name (names compared as the system resolves them:
// "/" as "\", case ignored, "." and empty components dropped, trailing dots and spaces cut). A file
// whose name matches no record must match some record's size and CRC-32.
std::string CheckTree(const std::string& destination, const std::vector<CentralRecord>& records);

// Removes a tree, and what is left through the verbatim form of its path, so that names ending in a
// space or a dot (which Wine creates) go too. True when nothing is left.
bool RemoveVerbatim(const std::string& path);

// Writes every canary file afresh (read-only where it should be); true when all are in place.
bool PlaceCanaries(const Sandbox& sandbox);
// Problems with the canary files: changed bytes or read-only attribute, anything added to or missing
// from the canary folders. What changed is put back, so the next case starts clean.
std::string CheckCanaries(const Sandbox& sandbox);

// Makes the destination with the plants in it (folder links through Unix "ln -s", which Wine shows
// as reparse points). Problems in making them; empty when all were made.
std::string PlantTree(const Sandbox& sandbox, const std::vector<Plant>& plants);
// Records that accept a planted file still in place: its bytes, or the canary's for a hard link.
std::vector<CentralRecord> PlantedRecords(const std::vector<Plant>& plants);

// Runs RemoveFolder on the destination, as the launcher's clean-up does, and gives the problems:
// anything it left but what it keeps by design (a planted read-only file, a folder link, which Wine
// cannot remove, a name beginning with a full stop, and the folders holding them). Then removes what
// is left, links through Unix "rm".
std::string CheckRemoval(const Sandbox& sandbox, const std::vector<Plant>& plants);

// Problems outside the destination: anything in the sandbox's folders but what belongs there, and
// anything carrying the escape marker in the temporary folder or the roots of drives C: and Z: (and
// Z:\tmp). What is found is removed, so the next case starts clean.
std::string CheckSandbox(const Sandbox& sandbox);

}  // namespace fuzz
