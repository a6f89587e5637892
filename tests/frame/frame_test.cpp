// The frame's library in-process: message pumping and pre-translation, and the resolution of the
// external routine table.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "base/owners.h"
#include "host/window_host.h"
#include "launcher/external_routines.h"
#include "launcher/frame.h"
#include "tests/support/test_support.h"

namespace {

// A window object that consumes every message of one kind.
class Consumer : public WindowObject {
public:
    explicit Consumer(UINT kind) : kind_(kind) {}
    bool PreTranslateMessage(MSG& message) override {
        if (message.message != kind_)
            return false;
        ++consumed;
        return true;
    }
    int consumed = 0;

private:
    UINT kind_;
};

int dispatched = 0;
Consumer* answered = nullptr;  // what a test window answers to the window-object query

LRESULT CALLBACK TestProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kWindowObjectQuery)
        return reinterpret_cast<LRESULT>(answered);
    if (message == WM_USER + 1) {
        ++dispatched;
        return 0;
    }
    if (message == WM_USER + 2) {
        PostQuitMessage(5);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

class MessagePumping : public testing::Test {
protected:
    void SetUp() override {
        parent_ = test::MakeWindow("FrameTestWindow", TestProcedure, WS_OVERLAPPED);
        child_ = test::MakeWindow("FrameTestWindow", TestProcedure, WS_CHILD, parent_);
        dispatched = 0;
        answered = nullptr;
    }
    void TearDown() override {
        DestroyWindow(parent_);
        test::DropQueuedMessages();
        answered = nullptr;
    }
    HWND parent_ = nullptr;
    HWND child_ = nullptr;
};

TEST_F(MessagePumping, LeavesAQuitPostedDuringThePumpQueuedAndHandlesWhatCameBeforeIt) {
    PostMessageA(parent_, WM_USER + 2, 0, 0);  // posts the quit when handled
    PostMessageA(parent_, WM_USER + 1, 0, 0);
    PumpPendingMessages();
    EXPECT_EQ(dispatched, 1);
    MSG message;
    ASSERT_TRUE(PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE));
    EXPECT_EQ(message.message, static_cast<UINT>(WM_QUIT));
    EXPECT_EQ(message.wParam, 5u);
    // A second pump finds the quit first and leaves it again.
    PumpPendingMessages();
    EXPECT_TRUE(PeekMessageA(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
}

// A quit posted while the pump looks at a waiting timer message, as a close request another thread
// sends can post it inside the pump's own calls: the quit outranks the timer message, so the pump's
// GetMessageA takes it instead.
LRESULT CALLBACK PostsQuitOnTheFirstLook(int code, WPARAM removal, LPARAM lParam) {
    static bool posted = false;
    auto* message = reinterpret_cast<const MSG*>(lParam);
    if (code == HC_ACTION && removal == PM_NOREMOVE && message->message == WM_TIMER && !posted) {
        posted = true;
        PostQuitMessage(6);
    }
    return CallNextHookEx(nullptr, code, removal, lParam);
}

TEST_F(MessagePumping, PutsBackAQuitItsGetMessageTookInPlaceOfTheMessageItSaw) {
    SetTimer(parent_, 1, 1, nullptr);
    Sleep(50);
    HHOOK hook = SetWindowsHookExA(WH_GETMESSAGE, PostsQuitOnTheFirstLook, nullptr, GetCurrentThreadId());
    ASSERT_NE(hook, nullptr);
    PumpPendingMessages();
    UnhookWindowsHookEx(hook);
    KillTimer(parent_, 1);
    MSG message;
    ASSERT_TRUE(PeekMessageA(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) << "the quit was swallowed";
    EXPECT_EQ(message.wParam, 6u);
}

TEST_F(MessagePumping, AWindowThatAnswersTheObjectQueryGetsToConsumeItsMessages) {
    Consumer consumer(WM_USER + 1);
    answered = &consumer;
    PostMessageA(parent_, WM_USER + 1, 0, 0);
    PumpPendingMessages();
    EXPECT_EQ(consumer.consumed, 1);
    EXPECT_EQ(dispatched, 0);
}

TEST_F(MessagePumping, AChildsMessageIsOfferedToTheObjectsUpItsParents) {
    // Both windows answer the query with the same object; it consumes the child's message on the
    // first offer, so the message is never dispatched.
    Consumer consumer(WM_USER + 1);
    answered = &consumer;
    MSG message = {};
    message.hwnd = child_;
    message.message = WM_USER + 1;
    EXPECT_TRUE(PreTranslateMessage(message));
    Consumer other(WM_USER + 9);
    answered = &other;
    EXPECT_FALSE(PreTranslateMessage(message));
}

TEST_F(MessagePumping, AMessageNoObjectAcceptsGoesOnToDispatch) {
    PostMessageA(child_, WM_USER + 1, 0, 0);
    PostThreadMessageA(GetCurrentThreadId(), WM_USER + 1, 0, 0);  // a thread message: nothing maps it
    PumpPendingMessages();
    EXPECT_EQ(dispatched, 1);
    MSG message;
    EXPECT_FALSE(PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE));
}

WNDPROC staticProcedure = nullptr;

LRESULT CALLBACK AnsweringStaticProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kWindowObjectQuery)
        return reinterpret_cast<LRESULT>(answered);
    return CallWindowProcA(staticProcedure, window, message, wParam, lParam);
}

// 0x8002 is free for any class to use: the answer of a window of a class the program did not register
// (here a system "STATIC" that answers with an object anyway) is never taken for a window object.
TEST_F(MessagePumping, AWindowOfAForeignClassIsNotAskedForItsObject) {
    HWND foreign = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 5, 5, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(foreign, nullptr);
    staticProcedure = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrA(foreign, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(AnsweringStaticProcedure)));
    Consumer consumer(WM_USER + 1);
    answered = &consumer;
    ASSERT_EQ(SendMessageA(foreign, kWindowObjectQuery, 0, 0), reinterpret_cast<LRESULT>(&consumer));
    MSG message = {};
    message.hwnd = foreign;
    message.message = WM_USER + 1;
    EXPECT_FALSE(PreTranslateMessage(message));
    EXPECT_EQ(consumer.consumed, 0);
    DestroyWindow(foreign);
}

// --- The external routine table ---------------------------------------------------------------------

class ExternalRoutineTable : public testing::Test {
protected:
    void TearDown() override { ReleaseExternalRoutines(); }
};

TEST_F(ExternalRoutineTable, ARoutineWithoutALibraryIsFoundInTheUsualSystemLibraries) {
    static const ExternalRoutineDeclaration table[] = {{"", "GetTickCount"}, {"", "GetSystemMetrics"}};
    SetExternalRoutines(table, 2);
    EXPECT_EQ(ResolveExternalRoutine(0), GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetTickCount"));
    EXPECT_EQ(ResolveExternalRoutine(1), GetProcAddress(GetModuleHandleA("user32.dll"), "GetSystemMetrics"));
}

TEST_F(ExternalRoutineTable, AnOrdinalIsTakenModulo65536) {
    ModuleHandle module{LoadLibraryA(test::ProgramBeside("frame_test_routines.dll").c_str())};
    ASSERT_TRUE(module);
    // The linker numbers the exports by name from 1: CdeclRoutine 1, StdcallRoutine 2.
    FARPROC stdcallRoutine = GetProcAddress(module.get(), "StdcallRoutine");
    ASSERT_EQ(GetProcAddress(module.get(), MAKEINTRESOURCEA(2)), stdcallRoutine);
    static const ExternalRoutineDeclaration table[] = {{"frame_test_routines.dll", "#2"},
                                                       {"frame_test_routines.dll", "#65538"}};
    SetExternalRoutines(table, 2);
    EXPECT_EQ(ResolveExternalRoutine(0), stdcallRoutine);
    EXPECT_EQ(ResolveExternalRoutine(1), stdcallRoutine);
}

TEST_F(ExternalRoutineTable, ACallOfARoutineThatRemovesItsArgumentAnswersItsResult) {
    static const ExternalRoutineDeclaration table[] = {{"frame_test_routines.dll", "StdcallRoutine"}};
    SetExternalRoutines(table, 1);
    EXPECT_EQ(CallExternalRoutine(0, 41, 1, 2), 42u);
    EXPECT_EQ(CallExternalRoutine(0, 0xFFFFFFFF, 1, 2), 0u);
}

class LibraryPlanting : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(
            CopyFileA(test::ProgramBeside("planted_kernel32.dll").c_str(), (folder_ / "Kernel32.dll").c_str(), FALSE));
    }
    test::TempFolder folder_{"plant"};
};

// Wine answers a load of any file named like one of its own libraries with its built-in copy, so the
// loaded module cannot show which path was asked for; the path the table chooses is checked as well.
TEST_F(LibraryPlanting, ALibraryTheSystemFolderHoldsIsLoadedFromThereOnly) {
    char system[MAX_PATH];
    GetSystemDirectoryA(system, MAX_PATH);
    EXPECT_EQ(std::string(SystemLibraryPath("Kernel32.dll").c_str()), std::string(system) + "\\Kernel32.dll");
    EXPECT_TRUE(SystemLibraryPath("kestrel_own.dll").absent());
    // The system adds ".dll" to a name without an extension: that name is the system's library too.
    EXPECT_EQ(std::string(SystemLibraryPath("Kernel32").c_str()), std::string(system) + "\\Kernel32.dll");
    ModuleHandle module{LoadRoutineLibrary("Kernel32.dll", folder_.path().c_str())};
    EXPECT_EQ(module.get(), GetModuleHandleA("kernel32.dll"));
    EXPECT_FALSE(test::Exists(folder_ / "planted-loaded.txt"));
}

TEST_F(LibraryPlanting, ALibraryTheSystemDoesNotHoldComesFromTheProgramFolder) {
    ASSERT_TRUE(
        CopyFileA(test::ProgramBeside("planted_kernel32.dll").c_str(), (folder_ / "kestrel_own.dll").c_str(), FALSE));
    ModuleHandle module{LoadRoutineLibrary("kestrel_own.dll", folder_.path().c_str())};
    ASSERT_TRUE(module);
    EXPECT_TRUE(test::Exists(folder_ / "planted-loaded.txt"));
}

TEST_F(LibraryPlanting, AFullPathIsLoadedAsGiven) {
    // A name the system folder does not hold: Wine hands out its own kernel32 for any path that ends
    // in "Kernel32.dll", so that name cannot show which file a full path loads.
    std::string path = folder_ / "kestrel_full.dll";
    ASSERT_TRUE(CopyFileA(test::ProgramBeside("planted_kernel32.dll").c_str(), path.c_str(), FALSE));
    ModuleHandle module{LoadRoutineLibrary(path.c_str(), "")};
    ASSERT_TRUE(module);
    EXPECT_TRUE(test::Exists(folder_ / "planted-loaded.txt"));
}

}  // namespace
