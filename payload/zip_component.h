// payload/zip_component.h: ZipComponent's Extract, which unpacks a ZIP file from disk into a folder and
// reports its progress through the component's ExtractProgress event. The component's hidden carrier
// window is the window host's; Extract finds it through the service entry (base/services.h). Answers
// through its result only.
#pragma once
#include <windows.h>

#include <cstdint>

#include "base/held_folder.h"
#include "base/owners.h"

// ExtractProgress is event 1 of the component, with the percentage done as its one argument.
constexpr std::int32_t kExtractProgressEvent = 1;

// What Extract and ExtractInto answer.
constexpr std::int32_t kExtractDone = 1;           // every entry was extracted, or a handler asked to stop
constexpr std::int32_t kExtractFailed = 0;         // the extraction began and did not reach the end
constexpr std::int32_t kExtractBadArguments = -1;  // nothing to extract from, or nowhere to extract to

// Unpacks the archive at `archivePath` into `destination` in central-directory order. Null stands
// for an absent text. kExtractDone: every entry of the end record's count was extracted, or a
// handler asked to stop; kExtractFailed: the destination cannot be created or is itself a link (links
// above it are followed), the file is not a ZIP archive or cannot be read, its end record is a ZIP64
// one, the central directory breaks off or an entry's information cannot be read, or an entry cannot
// be written (a corrupt one, a name refused by payload/entry_names.h or one the code page cannot
// spell, a link or a file on the entry's way, something at a file's name that cannot be removed);
// kExtractBadArguments: an absent text, an empty destination, or nothing at the archive path. The
// path form of ExtractInto: the archive is opened and the destination's missing folders are made by
// path, then the destination is held and ExtractInto's walk runs below it. The component is looked
// up by its ids at each call; when it is not found the extraction still runs, without events.
// Nothing written is rolled back.
std::int32_t Extract(std::int32_t windowId, std::int32_t componentId, const char* archivePath, const char* destination);

// What a caller asks the extraction to keep held for it after it returns: the folder `folderName`
// directly below the destination and the file `fileName` directly in it (each compared without regard
// to case), as this extraction reached and wrote them.
struct KeptEntries {
    const wchar_t* folderName = nullptr;
    const wchar_t* fileName = nullptr;
    // When set, the folder is created new with this security descriptor, and anything standing at its
    // name fails its entries.
    PSECURITY_DESCRIPTOR folderSecurity = nullptr;
    HeldFolder folder;  // the folder, held from when the extraction first reached it
    // The file, open for reading and shared for reading only: nobody can write, replace, rename or
    // delete it while it is held. Handed back only when, opened again after its writing handle closed,
    // it was the file written (its id) and held the entry's data (its size and CRC-32).
    ChildHandle file;
};

// Where an extraction that did not reach its end stopped: the entry's name as stored (in the ANSI code
// page; empty when the failure came before any entry, or the entry's own information could not be
// read) and the system's error code.
struct ExtractFailure {
    char entry[260] = "";
    DWORD error = 0;
};

// Extract's walk, with its results and events, below the held folder `destination` (base/held_folder.h),
// the archive being read through `archive`, a handle open for reading on it (rewound first; the caller
// wrote it through that handle and shares it for reading only, so that nobody changes it meanwhile).
// Every folder on an entry's way is opened or created relative to its held parent, never through a
// link; every file is made new (CreateFreshChildFile), written, given its times and plain attributes
// through the handle that created it, and discarded through that handle when it fails.
// kExtractBadArguments for an absent archive handle or a destination not held; kExtractFailed for an
// archive that cannot be read. An entry's whole path counts from the held folder's path as the system
// names it, for the 260-byte limit. With `kept`, the folder and file it names are handed back held
// (see KeptEntries); what is kept stays kept whatever the result. With `failure`, a result other than
// kExtractDone says there where the walk stopped and why.
std::int32_t ExtractInto(std::int32_t windowId, std::int32_t componentId, FileHandle archive,
                         const HeldFolder& destination, KeptEntries* kept = nullptr, ExtractFailure* failure = nullptr);
