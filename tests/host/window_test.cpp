// Loading the launcher's window: the order of creation and events, the window never visible, its
// class, title, styles and place; and the close request.
#include <cstring>
#include <string>

#include "tests/host/host_fixture.h"

namespace hosttest {
namespace {

// What a CBT hook and a call-window hook see of the thread's windows while a test runs.
struct Watch {
    std::vector<std::string> createdClasses;
    std::vector<DWORD> createdStyles;
    std::vector<DWORD> createdExStyles;
    int shownTrue = 0;      // WM_SHOWWINDOW with TRUE
    int showWindowPos = 0;  // WM_WINDOWPOSCHANGING with SWP_SHOWWINDOW
};
Watch watch;
HHOOK cbtHook = nullptr;
HHOOK callHook = nullptr;

LRESULT CALLBACK OnCbt(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_CREATEWND) {
        auto* create = reinterpret_cast<CBT_CREATEWNDA*>(lParam)->lpcs;
        char name[64] = "";
        GetClassNameA(reinterpret_cast<HWND>(wParam), name, sizeof name);
        // Wine makes a default IME window for the thread along with its first top-level window;
        // only the host's own classes are counted.
        if (std::strncmp(name, "WT", 2) != 0)
            return CallNextHookEx(cbtHook, code, wParam, lParam);
        watch.createdClasses.push_back(name);
        watch.createdStyles.push_back(static_cast<DWORD>(create->style));
        watch.createdExStyles.push_back(create->dwExStyle);
    }
    return CallNextHookEx(cbtHook, code, wParam, lParam);
}

LRESULT CALLBACK OnCall(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HC_ACTION) {
        auto* call = reinterpret_cast<CWPSTRUCT*>(lParam);
        if (call->message == WM_SHOWWINDOW && call->wParam)
            ++watch.shownTrue;
        if (call->message == WM_WINDOWPOSCHANGING &&
            (reinterpret_cast<WINDOWPOS*>(call->lParam)->flags & SWP_SHOWWINDOW))
            ++watch.showWindowPos;
    }
    return CallNextHookEx(callHook, code, wParam, lParam);
}

class LoadWindowTest : public HostTest {
protected:
    void SetUp() override {
        HostTest::SetUp();
        watch = Watch{};
        cbtHook = SetWindowsHookExA(WH_CBT, OnCbt, nullptr, GetCurrentThreadId());
        callHook = SetWindowsHookExA(WH_CALLWNDPROC, OnCall, nullptr, GetCurrentThreadId());
        ASSERT_NE(cbtHook, nullptr);
        ASSERT_NE(callHook, nullptr);
    }
    void TearDown() override {
        UnhookWindowsHookEx(cbtHook);
        UnhookWindowsHookEx(callHook);
        HostTest::TearDown();
    }
};

// What the created handler saw of the world while it ran inside LoadWindow.
struct AtCreated {
    bool ran = false;
    bool timerExists = false;
    bool zipExists = false;
    bool windowVisible = true;
    std::size_t classesCreated = 0;
};
AtCreated atCreated;

void LookAround(const EventCall& call) {
    if (call.componentId != kLauncherWindowEntryId || call.eventIndex != 0)
        return;
    atCreated.ran = true;
    atCreated.timerExists = IsWindow(TimerCarrier()) != FALSE;
    atCreated.zipExists = IsWindow(FindComponentWindow(kLauncherWindowId, kZipComponentId)) != FALSE;
    atCreated.windowVisible = (GetWindowLongA(LauncherHwnd(), GWL_STYLE) & WS_VISIBLE) != 0;
    atCreated.classesCreated = watch.createdClasses.size();
}

TEST_F(LoadWindowTest, RaisesCreatedInsideTheCallAfterBothComponentsThenMovedAndResized) {
    Use(LauncherDescription(true));
    atCreated = AtCreated{};
    Record().onEvent = &LookAround;
    ASSERT_TRUE(LoadWindow(kLauncherWindowId));

    EXPECT_TRUE(atCreated.ran);
    EXPECT_TRUE(atCreated.timerExists);
    EXPECT_TRUE(atCreated.zipExists);
    EXPECT_FALSE(atCreated.windowVisible);
    EXPECT_EQ(atCreated.classesCreated, 3u);
    // Nothing ran during the creation phase (the platform's own move and size notices were
    // suppressed), every handler ran at depth 0, and moved and resized follow created once each.
    ASSERT_EQ(Record().events.size(), 3u);
    EXPECT_EQ(Record().events[0].eventIndex, 0);
    EXPECT_EQ(Record().events[1].eventIndex, 3);
    EXPECT_EQ(Record().events[2].eventIndex, 4);
    for (const Raised& raised : Record().events) {
        EXPECT_EQ(raised.componentId, kLauncherWindowEntryId);
        EXPECT_EQ(raised.suppression, 0);
    }
    EXPECT_EQ(EventSuppressionDepth(), 0);
}

TEST_F(LoadWindowTest, CreatesTheWindowFirstThenTheComponentsLastToFirstAllWithoutTheVisibleStyle) {
    ASSERT_TRUE(LoadWindow(kLauncherWindowId));
    ASSERT_EQ(watch.createdClasses.size(), 3u);
    EXPECT_EQ(watch.createdClasses[0], "WTWindow");
    EXPECT_EQ(watch.createdClasses[1], "WTZipCarrier");  // the ZIP component, the last entry, first
    EXPECT_EQ(watch.createdClasses[2], "WTTimerCarrier");
    for (std::size_t i = 0; i < watch.createdStyles.size(); ++i) {
        SCOPED_TRACE(watch.createdClasses[i]);
        EXPECT_EQ(watch.createdStyles[i] & WS_VISIBLE, 0u);
        // The system adds WS_EX_WINDOWEDGE to a window with a dialog frame before the hook sees it.
        EXPECT_EQ(watch.createdExStyles[i] & ~static_cast<DWORD>(WS_EX_WINDOWEDGE), 0u);
    }
    EXPECT_EQ(watch.createdStyles[1] & WS_CHILD, static_cast<DWORD>(WS_CHILD));
    EXPECT_EQ(watch.createdStyles[2] & WS_CHILD, static_cast<DWORD>(WS_CHILD));
    EXPECT_EQ(GetParent(TimerCarrier()), LauncherHwnd());
    EXPECT_FALSE(IsWindowVisible(TimerCarrier()));
    EXPECT_FALSE(IsWindowVisible(FindComponentWindow(kLauncherWindowId, kZipComponentId)));
}

bool TwoPeriods() { return Record().periods >= 2; }

void CheckHiddenEachPeriod(const EventCall& call) {
    if (call.componentId == kWatchTimerId) {
        EXPECT_FALSE(IsWindowVisible(LauncherHwnd()));
    }
}

TEST_F(LoadWindowTest, TheWindowIsNeverShownNotAfterLoadingNorWhileTheLoopRuns) {
    ASSERT_TRUE(LoadWindow(kLauncherWindowId));
    EXPECT_FALSE(IsWindowVisible(LauncherHwnd()));
    // The launcher's own course: hide the window once more, arm the timer, run the loop.
    SetComponentProperty(kLauncherWindowId, kLauncherWindowEntryId, kPropertyVisible, -1, 0);
    Record().onEvent = &CheckHiddenEachPeriod;
    SetComponentProperty(kLauncherWindowId, kWatchTimerId, kPropertyInterval, -1, 30);
    EXPECT_TRUE(RunLoopUntil(&TwoPeriods, 5000));
    EXPECT_FALSE(IsWindowVisible(LauncherHwnd()));
    EXPECT_EQ(watch.shownTrue, 0);
    EXPECT_EQ(watch.showWindowPos, 0);
}

TEST_F(LoadWindowTest, HasTheLaunchersClassTitleStylesAndCentredPlace) {
    ASSERT_TRUE(LoadWindow(kLauncherWindowId));
    HWND window = LauncherHwnd();
    ASSERT_NE(window, nullptr);

    char name[64] = "";
    GetClassNameA(window, name, sizeof name);
    EXPECT_STREQ(name, "WTWindow");
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    ASSERT_TRUE(GetClassInfoExA(GetModuleHandleA(nullptr), "WTWindow", &wc));
    EXPECT_EQ(wc.style, static_cast<UINT>(CS_VREDRAW | CS_HREDRAW | CS_DBLCLKS));
    EXPECT_EQ(wc.hbrBackground, nullptr);
    EXPECT_EQ(wc.hCursor, LoadCursorA(nullptr, IDC_ARROW));

    char title[64] = "";
    GetWindowTextA(window, title, sizeof title);
    // 一键安装檀溪舟楫 in code page 936
    EXPECT_STREQ(title, "\xD2\xBB\xBC\xFC\xB0\xB2\xD7\xB0\xCC\xB4\xCF\xAA\xD6\xDB\xE9\xAE");

    // Top-level windows always get WS_CLIPSIBLINGS from the system; everything else is ours.
    DWORD style = static_cast<DWORD>(GetWindowLongA(window, GWL_STYLE)) & ~WS_CLIPSIBLINGS;
    EXPECT_EQ(style, static_cast<DWORD>(WS_CLIPCHILDREN | WS_CAPTION | WS_SYSMENU | WS_DLGFRAME | WS_MINIMIZEBOX));
    EXPECT_EQ(GetWindowLongA(window, GWL_EXSTYLE) & WS_EX_TOPMOST, 0);

    RECT r;
    ASSERT_TRUE(GetWindowRect(window, &r));
    EXPECT_EQ(r.right - r.left, 222);
    EXPECT_EQ(r.bottom - r.top, 79);
    EXPECT_EQ(r.left, (GetSystemMetrics(SM_CXSCREEN) - 222) / 2);
    EXPECT_EQ(r.top, (GetSystemMetrics(SM_CYSCREEN) - 79) / 2);

    EXPECT_EQ(GetParent(window), nullptr);
    EXPECT_EQ(GetWindow(window, GW_OWNER), nullptr);
    EXPECT_EQ(GetMenu(window), nullptr);
    EXPECT_EQ(reinterpret_cast<HGDIOBJ>(SendMessageA(window, WM_GETFONT, 0, 0)), GetStockObject(DEFAULT_GUI_FONT));
    // The test program carries no "DEFAULT_ICON", so no icon is set.
    EXPECT_EQ(SendMessageA(window, WM_GETICON, ICON_BIG, 0), 0);
    EXPECT_NE(GetMenuState(GetSystemMenu(window, FALSE), SC_MOVE, MF_BYCOMMAND), static_cast<UINT>(-1));
}

TEST_F(LoadWindowTest, WindowObjectAnswersTheQueryAndLetsTimerMessagesPass) {
    ASSERT_TRUE(LoadWindow(kLauncherWindowId));
    HWND window = LauncherHwnd();
    WindowObject* object = PermanentWindowObject(window);
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(reinterpret_cast<WindowObject*>(SendMessageA(window, kWindowObjectQuery, 0, 0)), object);
    MSG timer{window, WM_TIMER, 1000, 0, 0, {}};
    EXPECT_FALSE(object->PreTranslateMessage(timer));
    MSG key{window, WM_KEYDOWN, VK_ESCAPE, 0, 0, {}};
    EXPECT_FALSE(object->PreTranslateMessage(key));
    EXPECT_EQ(PermanentWindowObject(nullptr), nullptr);
}

TEST_F(LoadWindowTest, UnknownWindowIsNotLoadedAndASecondLoadKeepsTheOneWindow) {
    EXPECT_FALSE(LoadWindow(0x52019999));
    EXPECT_EQ(EventSuppressionDepth(), 0);
    ASSERT_TRUE(LoadWindow(kLauncherWindowId));
    HWND first = LauncherHwnd();
    EXPECT_TRUE(LoadWindow(kLauncherWindowId));
    EXPECT_EQ(LauncherHwnd(), first);
    EXPECT_EQ(watch.createdClasses.size(), 3u);
}

TEST_F(LoadWindowTest, WritingVisibleShowsTheWindowAndNeverAnInvisibleKind) {
    ASSERT_TRUE(LoadWindow(kLauncherWindowId));
    SetComponentProperty(kLauncherWindowId, kWatchTimerId, kPropertyVisible, -1, 1);
    EXPECT_EQ(GetComponentProperty(kLauncherWindowId, kWatchTimerId, kPropertyVisible, -1), 1);
    EXPECT_EQ(GetWindowLongA(TimerCarrier(), GWL_STYLE) & WS_VISIBLE, 0);

    SetComponentProperty(kLauncherWindowId, kLauncherWindowEntryId, kPropertyVisible, -1, 1);
    EXPECT_TRUE(IsWindowVisible(LauncherHwnd()));
    SetComponentProperty(kLauncherWindowId, kLauncherWindowEntryId, kPropertyVisible, -1, 0);
    EXPECT_FALSE(IsWindowVisible(LauncherHwnd()));
    EXPECT_EQ(GetComponentProperty(kLauncherWindowId, kLauncherWindowEntryId, kPropertyVisible, -1), 0);
}

void CloseOnCreated(const EventCall& call) {
    if (call.eventIndex == 0 && call.componentId == kLauncherWindowEntryId)
        SendMessageA(LauncherHwnd(), WM_CLOSE, 0, 0);
}

TEST_F(LoadWindowTest, AWindowClosedByItsCreatedHandlerGetsNoMovedOrResizedAndLoadingStillSucceeds) {
    Use(LauncherDescription(true));
    Record().onEvent = &CloseOnCreated;
    ASSERT_TRUE(LoadWindow(kLauncherWindowId));
    EXPECT_EQ(LauncherHwnd(), nullptr);
    std::vector<std::int32_t> seen;
    for (const Raised& raised : Record().events)
        seen.push_back(raised.eventIndex);
    EXPECT_EQ(seen, (std::vector<std::int32_t>{0, 12, 1, 2}));
    // Nothing is loaded any more; a new load starts afresh.
    Record().onEvent = nullptr;
    EXPECT_TRUE(LoadWindow(kLauncherWindowId));
    EXPECT_NE(LauncherHwnd(), nullptr);
}

using PropertyTest = HostTest;

TEST_F(PropertyTest, ClampsPlaceAndSizeOnBothSidesOfTheLimits) {
    // clang-format off
    struct Row {
        std::int32_t property;
        std::int64_t written;
        std::int64_t stored;
    } rows[] = {
        {0, -32628, -32627}, {0, -32627, -32627}, {0, 32627, 32627}, {0, 32628, 32627}, {0, -1, -1},
        {1, -40000, -32627}, {1, 40000, 32627},   {1, 0, 0},
        {2, -1, 0},          {2, 0, 0},           {2, 32627, 32627}, {2, 32628, 32627},
        {3, -5, 0},          {3, 32628, 32627},   {3, 100, 100},
        // Only the low 32 bits count: 0x1'0000'0005 is 5.
        {2, 0x100000005LL, 5},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "property " << row.property << " written " << row.written);
        SetComponentProperty(kLauncherWindowId, kWatchTimerId, row.property, -1, row.written);
        EXPECT_EQ(GetComponentProperty(kLauncherWindowId, kWatchTimerId, row.property, -1), row.stored);
    }
}

TEST_F(PropertyTest, WritesToALoadedComponentMoveItsCarrierAndLastOnlyUntilTheWindowCloses) {
    ASSERT_TRUE(LoadWindow(kLauncherWindowId));
    SetComponentProperty(kLauncherWindowId, kWatchTimerId, 0, -1, 70);
    SetComponentProperty(kLauncherWindowId, kWatchTimerId, 3, -1, 40);
    RECT r;
    ASSERT_TRUE(GetWindowRect(TimerCarrier(), &r));
    MapWindowPoints(nullptr, LauncherHwnd(), reinterpret_cast<POINT*>(&r), 2);
    EXPECT_EQ(r.left, 70);
    EXPECT_EQ(r.top, 8);
    EXPECT_EQ(r.right - r.left, 24);
    EXPECT_EQ(r.bottom - r.top, 40);

    SendMessageA(LauncherHwnd(), WM_CLOSE, 0, 0);
    EXPECT_EQ(LauncherHwnd(), nullptr);
    // The stored records are back: the write was to the working copy only.
    EXPECT_EQ(GetComponentProperty(kLauncherWindowId, kWatchTimerId, 0, -1), 32);
    EXPECT_EQ(GetComponentProperty(kLauncherWindowId, kWatchTimerId, 3, -1), 24);

    // A write while the window is not loaded changes the stored record, and the next load uses it.
    SetComponentProperty(kLauncherWindowId, kWatchTimerId, 0, -1, 60);
    ASSERT_TRUE(LoadWindow(kLauncherWindowId));
    ASSERT_TRUE(GetWindowRect(TimerCarrier(), &r));
    MapWindowPoints(nullptr, LauncherHwnd(), reinterpret_cast<POINT*>(&r), 2);
    EXPECT_EQ(r.left, 60);
}

using CloseTest = HostTest;

TEST_F(CloseTest, RaisesBothQueriesThenDestroyedAndUnloadsWithoutQuittingByDefault) {
    Use(LauncherDescription(true));
    ASSERT_TRUE(LoadWindow(kLauncherWindowId));
    HWND timer = TimerCarrier();
    Record().events.clear();
    SendMessageA(LauncherHwnd(), WM_CLOSE, 0, 0);

    ASSERT_EQ(Record().events.size(), 3u);
    EXPECT_EQ(Record().events[0].eventIndex, 12);
    EXPECT_EQ(Record().events[1].eventIndex, 1);
    EXPECT_EQ(Record().events[2].eventIndex, 2);
    EXPECT_FALSE(IsWindow(timer));  // the carrier died with the window
    EXPECT_EQ(TimerCarrier(), nullptr);
    EXPECT_FALSE(AnyLoadedWindowAlive());
    PumpPendingMessages();
    EXPECT_FALSE(test::TakeQuit());
}

TEST_F(CloseTest, PostsQuitWithZeroWhenTheLastWindowGoesAfterQuitOnLastWindowIsSet) {
    ASSERT_TRUE(LoadWindow(kLauncherWindowId));
    EXPECT_TRUE(AnyLoadedWindowAlive());
    SetQuitOnLastWindow();
    PostMessageA(LauncherHwnd(), WM_CLOSE, 0, 0);
    PumpPendingMessages();
    EXPECT_FALSE(AnyLoadedWindowAlive());
    WPARAM code = 99;
    ASSERT_TRUE(test::TakeQuit(&code));
    EXPECT_EQ(code, 0u);
}

TEST_F(CloseTest, AHandlerAnsweringNoToEitherQueryKeepsTheWindow) {
    Use(LauncherDescription(true));
    ASSERT_TRUE(LoadWindow(kLauncherWindowId));
    for (std::int32_t query : {12, 1}) {
        SCOPED_TRACE(query);
        Record().events.clear();
        Record().answerFor = query;
        Record().answer = 0;
        SendMessageA(LauncherHwnd(), WM_CLOSE, 0, 0);
        EXPECT_TRUE(IsWindow(LauncherHwnd()));
        EXPECT_EQ(Record().events.back().eventIndex, query);
    }
    // A handler that answers yes lets it close.
    Record().answerFor = 12;
    Record().answer = 1;
    Record().events.clear();
    SendMessageA(LauncherHwnd(), WM_CLOSE, 0, 0);
    EXPECT_EQ(LauncherHwnd(), nullptr);
}

TEST_F(CloseTest, EndOfSessionIsAllowedUnlessTheCloseQueryAnswersNo) {
    ASSERT_TRUE(LoadWindow(kLauncherWindowId));
    EXPECT_EQ(SendMessageA(LauncherHwnd(), WM_QUERYENDSESSION, 0, 0), TRUE);  // no handler bound
    TearDown();
    SetUp();
    Use(LauncherDescription(true));
    ASSERT_TRUE(LoadWindow(kLauncherWindowId));
    Record().answerFor = 1;
    Record().answer = 0;
    EXPECT_EQ(SendMessageA(LauncherHwnd(), WM_QUERYENDSESSION, 0, 0), FALSE);
}

TEST_F(CloseTest, DroppedWindowsNoLongerCountAndTheirEndQuitsNothing) {
    ASSERT_TRUE(LoadWindow(kLauncherWindowId));
    HWND window = LauncherHwnd();
    SetQuitOnLastWindow();
    DropLoadedWindows();
    EXPECT_FALSE(AnyLoadedWindowAlive());
    EXPECT_EQ(LauncherHwnd(), nullptr);
    DestroyWindow(window);
    PumpPendingMessages();
    EXPECT_FALSE(test::TakeQuit());
}

}  // namespace
}  // namespace hosttest
