// What launcher.exe says about itself, read back from the built file: its version block, its icon
// group, its manifest and its PE headers.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/owners.h"
#include "tests/support/test_support.h"

namespace {

std::string Launcher() { return test::ProgramBeside("launcher.exe"); }

class VersionBlock : public testing::Test {
protected:
    void SetUp() override {
        DWORD handle = 0;
        DWORD size = GetFileVersionInfoSizeA(Launcher().c_str(), &handle);
        ASSERT_NE(size, 0u);
        block_.resize(size);
        ASSERT_TRUE(GetFileVersionInfoA(Launcher().c_str(), 0, size, block_.data()));
    }
    std::string String(const char* name) {
        std::string path = std::string("\\StringFileInfo\\080403a8\\") + name;
        char* value = nullptr;
        UINT length = 0;
        if (!VerQueryValueA(block_.data(), path.c_str(), reinterpret_cast<void**>(&value), &length))
            return "(missing)";
        return value;
    }
    std::vector<char> block_;
};

TEST_F(VersionBlock, FileAndProductVersionAre1000) {
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(block_.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0u);
}

TEST_F(VersionBlock, DescriptionAndProductNameReadInCodePage936) {
    WORD* translation = nullptr;
    UINT length = 0;
    ASSERT_TRUE(
        VerQueryValueA(block_.data(), "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &length));
    ASSERT_GE(length, 4u);
    EXPECT_EQ(translation[0], 0x0804);
    EXPECT_EQ(translation[1], 936);
    EXPECT_EQ(String("FileDescription"), "檀溪舟楫");
    EXPECT_EQ(String("ProductName"), "檀溪舟楫");
    EXPECT_EQ(String("FileVersion"), "1.0.0.0");
    EXPECT_EQ(String("ProductVersion"), "1.0.0.0");
}

TEST(Resources, HoldTheIconGroupAndAManifestForCommonControls6AsInvoker) {
    ModuleHandle owner{LoadLibraryExA(Launcher().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE)};
    HMODULE image = owner.get();
    ASSERT_NE(image, nullptr);
    EXPECT_NE(FindResourceA(image, "DEFAULT_ICON", MAKEINTRESOURCEA(14)), nullptr);  // RT_GROUP_ICON
    HRSRC found = FindResourceA(image, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));   // RT_MANIFEST
    ASSERT_NE(found, nullptr);
    const char* bytes = static_cast<const char*>(LockResource(LoadResource(image, found)));
    std::string manifest(bytes, SizeofResource(image, found));
    EXPECT_NE(manifest.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""), std::string::npos);
    EXPECT_NE(manifest.find("processorArchitecture=\"x86\" publicKeyToken=\"6595b64144ccf1df\""), std::string::npos);
    EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
}

class Headers : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(test::ReadWholeFile(Launcher(), file_));
        auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(file_.data());
        nt_ = reinterpret_cast<const IMAGE_NT_HEADERS32*>(file_.data() + dos->e_lfanew);
        ASSERT_EQ(nt_->Signature, IMAGE_NT_SIGNATURE);
    }
    // The file offset of a relative virtual address.
    const char* At(DWORD rva) {
        const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt_);
        for (unsigned i = 0; i < nt_->FileHeader.NumberOfSections; ++i, ++section)
            if (rva >= section->VirtualAddress && rva < section->VirtualAddress + section->SizeOfRawData)
                return file_.data() + section->PointerToRawData + (rva - section->VirtualAddress);
        return nullptr;
    }
    std::string file_;
    const IMAGE_NT_HEADERS32* nt_ = nullptr;
};

TEST_F(Headers, DescribeA32BitGuiProgramWithAslrRelocationsAndDep) {
    EXPECT_EQ(nt_->FileHeader.Machine, IMAGE_FILE_MACHINE_I386);
    EXPECT_EQ(nt_->OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
    EXPECT_TRUE(nt_->OptionalHeader.DllCharacteristics & IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE);
    EXPECT_TRUE(nt_->OptionalHeader.DllCharacteristics & IMAGE_DLLCHARACTERISTICS_NX_COMPAT);
    EXPECT_FALSE(nt_->FileHeader.Characteristics & IMAGE_FILE_RELOCS_STRIPPED);
    EXPECT_GT(nt_->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_BASERELOC].Size, 0u);
}

// The README says the launcher runs on Windows Vista or later (its imports need Vista today): the
// header says the same, so that an older Windows refuses it at once instead of failing on a missing
// import. Large-address-aware: on 64-bit Windows it gets 4 GB of address space for the payload twice.
TEST_F(Headers, NameVistaAsTheOldestWindowsAndAreLargeAddressAware) {
    EXPECT_EQ(nt_->OptionalHeader.MajorOperatingSystemVersion, 6);
    EXPECT_EQ(nt_->OptionalHeader.MinorOperatingSystemVersion, 0);
    EXPECT_EQ(nt_->OptionalHeader.MajorSubsystemVersion, 6);
    EXPECT_EQ(nt_->OptionalHeader.MinorSubsystemVersion, 0);
    EXPECT_TRUE(nt_->FileHeader.Characteristics & IMAGE_FILE_LARGE_ADDRESS_AWARE);
}

// Every library of the import table, with its own imports, is loaded before any of the program's code runs,
// program folder first (Wine keeps no known DLLs), so the table names only kernel32, msvcrt and ntdll; the
// routines of every other library are reached from the system folder when first called
// (launcher/system_imports.cpp). A call added elsewhere and not listed there brings its library back here.
TEST_F(Headers, ImportOnlyKernel32MsvcrtAndNtdll) {
    const char* const known[] = {"kernel32.dll", "msvcrt.dll", "ntdll.dll"};
    DWORD rva = nt_->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
    auto* entry = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(At(rva));
    ASSERT_NE(entry, nullptr);
    int count = 0;
    for (; entry->Name != 0; ++entry, ++count) {
        std::string name = At(entry->Name);
        for (char& c : name)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        bool isKnown = false;
        for (const char* k : known)
            isKnown = isKnown || name == k;
        EXPECT_TRUE(isKnown) << "imports " << name;
    }
    EXPECT_GT(count, 0);
}

}  // namespace
