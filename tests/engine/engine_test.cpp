// The raw input engine against a scripted user32: binding, listing, the mouse
// table, registration, and the report of each packet.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <filesystem>

#include "rawinput/rawinput.h"
#include "tests/engine/fake_user32.h"
#include "tests/engine/main_window_test.h"
#include "tests/support/test_support.h"
#include "ui/principal.h"

namespace {

HANDLE handle_of(std::uintptr_t value) {
    return reinterpret_cast<HANDLE>(value);
}

RAWMOUSE motion(LONG dx, LONG dy) {
    RAWMOUSE m{};
    m.lLastX = dx;
    m.lLastY = dy;
    return m;
}

std::vector<std::string> memo_entries(TForm1* form) {
    std::vector<std::string> entries;
    for (int i = 0; i < form->Memo1->Lines->Count(); ++i)
        entries.push_back((*form->Memo1->Lines)[i]);
    return entries;
}

int resize_calls = 0;
bool fail_resize = false;
void* counting_resize(void* block, std::size_t size) {
    ++resize_calls;
    return fail_resize ? nullptr : std::realloc(block, size);
}
bool fail_allocate = false;
void* maybe_allocate(std::size_t size) {
    return fail_allocate ? nullptr : std::malloc(size);
}

bool state_is_zero() {
    const RawInputState& s = raw_input_state;
    for (HANDLE h : s.raw_mouse_handles) {
        if (h != nullptr)
            return false;
    }
    return s.raw_mouse_count == 0 && s.RegisterRawInputDevices_f == nullptr &&
           s.GetRawInputData_f == nullptr && s.GetRawInputDeviceList_f == nullptr &&
           s.raw_input_buffer == nullptr && s.raw_input_buffer_size == 0;
}

class EngineTest : public MainWindowTest {
  protected:
    void SetUp() override {
        MainWindowTest::SetUp();
        // Start every case from an unbound engine and an empty memo.
        raw_input_release(form_);
        form_->Memo1->Lines->Clear();
        rawinput::heap = {maybe_allocate, counting_resize, std::free};
        resize_calls = 0;
        fail_resize = false;
        fail_allocate = false;
    }
    void TearDown() override {
        rawinput::heap = {std::malloc, std::realloc, std::free};
        rawinput::background = false;
        MainWindowTest::TearDown();
    }

    std::string init_output() {
        testing::internal::CaptureStdout();
        result_ = raw_input_init(form_);
        return testing::internal::GetCapturedStdout();
    }

    std::int32_t result_ = -1;
};

TEST_F(EngineTest, EveryFailureBeforeRegistrationLeavesTheStateZeroed) {
    user32_.devices = {{handle_of(131), RIM_TYPEMOUSE}};
    struct Case {
        const char* what;
        std::function<void()> arrange;
    };
    const std::vector<Case> cases = {
        {"no user32", [] { fake::User32::uninstall(); }},
        {"no RegisterRawInputDevices",
         [&] {
             user32_.install({"GetRawInputData", "GetRawInputDeviceList"});
         }},
        {"no GetRawInputData",
         [&] {
             user32_.install({"RegisterRawInputDevices", "GetRawInputDeviceList"});
         }},
        {"no GetRawInputDeviceList",
         [&] {
             user32_.install({"RegisterRawInputDevices", "GetRawInputData"});
         }},
        {"count query fails", [&] { user32_.count_result = static_cast<UINT>(-1); }},
        {"list cannot be allocated", [&] { fail_allocate = true; }},
        {"list query fails", [&] { user32_.list_fails = true; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        user32_ = fake::User32{};
        user32_.devices = {{handle_of(131), RIM_TYPEMOUSE}};
        user32_.install();
        fail_allocate = false;
        c.arrange();
        EXPECT_EQ(init_output(), "");
        EXPECT_EQ(result_, 0);
        EXPECT_TRUE(state_is_zero());
        EXPECT_TRUE(user32_.registered.empty());
    }
    EXPECT_EQ(form_->Memo1->Lines->Count(), 0);
}

TEST_F(EngineTest, ListsDevicesAndRecordsMiceInOrder) {
    user32_.devices = {{handle_of(131), RIM_TYPEMOUSE},
                       {handle_of(129), RIM_TYPEKEYBOARD},
                       {handle_of(517), RIM_TYPEMOUSE}};
    EXPECT_EQ(init_output(), "");
    EXPECT_EQ(result_, 1);
    EXPECT_EQ(memo_entries(form_),
              (std::vector<std::string>{"0 131  Mouse", "Amouse[0] = 131", "1 129  Keyboard",
                                        "2 517  Mouse", "Amouse[1] = 517"}));
    EXPECT_EQ(raw_input_state.raw_mouse_count, 2);
    EXPECT_EQ(raw_input_state.raw_mouse_handles[1], handle_of(517));

    ASSERT_EQ(user32_.registered.size(), 1u);
    EXPECT_EQ(user32_.registered[0].usUsagePage, 1);
    EXPECT_EQ(user32_.registered[0].usUsage, 2);
    EXPECT_EQ(user32_.registered[0].dwFlags, 0u);
    EXPECT_EQ(user32_.registered[0].hwndTarget, nullptr);
    EXPECT_EQ(user32_.registered_size, sizeof(RAWINPUTDEVICE));

    // A second call finds the engine ready and adds nothing.
    EXPECT_EQ(raw_input_init(form_), 1);
    EXPECT_EQ(form_->Memo1->Lines->Count(), 5);
}

TEST_F(EngineTest, InTheBackgroundTheMainWindowIsTheTargetOfAnInputSinkRegistration) {
    user32_.devices = {{handle_of(131), RIM_TYPEMOUSE}};
    rawinput::background = true;
    EXPECT_EQ(init_output(), "");
    EXPECT_EQ(result_, 1);
    ASSERT_EQ(user32_.registered.size(), 1u);
    const RAWINPUTDEVICE& mouse = user32_.registered[0];
    EXPECT_EQ(mouse.usUsagePage, 1);
    EXPECT_EQ(mouse.usUsage, 2);
    EXPECT_EQ(mouse.dwFlags, RIDEV_INPUTSINK);
    ASSERT_NE(mouse.hwndTarget, nullptr);
    EXPECT_EQ(mouse.hwndTarget, static_cast<HWND>(form_->Handle));
    EXPECT_EQ(vcl::TForm::from_handle(mouse.hwndTarget), form_);
    EXPECT_EQ(memo_entries(form_), (std::vector<std::string>{"0 131  Mouse", "Amouse[0] = 131"}));
}

TEST_F(EngineTest, ExaminesTheFirstTenDevicesOnly) {
    for (std::uintptr_t i = 0; i < 12; ++i)
        user32_.devices.push_back({handle_of(1000 + i), RIM_TYPEMOUSE});
    init_output();
    EXPECT_EQ(result_, 1);
    EXPECT_EQ(raw_input_state.raw_mouse_count, 10);
    const auto entries = memo_entries(form_);
    ASSERT_EQ(entries.size(), 20u);
    EXPECT_EQ(entries.back(), "Amouse[9] = 1009");
    for (const std::string& e : entries)
        EXPECT_EQ(e.find("1010"), std::string::npos) << e;
}

TEST_F(EngineTest, ListingOddities) {
    user32_.devices = {{nullptr, RIM_TYPEMOUSE},
                       {handle_of(77), 7},
                       {handle_of(0x80000001u), RIM_TYPEHID},
                       {handle_of(0xFFFFFFFEu), RIM_TYPEMOUSE}};
    init_output();
    EXPECT_EQ(memo_entries(form_),
              (std::vector<std::string>{"0 0  Mouse", "1 77  ", "2 -2147483647  HID", "3 -2  Mouse",
                                        "Amouse[0] = -2"}));
    EXPECT_EQ(raw_input_state.raw_mouse_count, 1);
}

TEST_F(EngineTest, NoDevicesStillRegisters) {
    init_output();
    EXPECT_EQ(result_, 1);
    EXPECT_EQ(form_->Memo1->Lines->Count(), 0);
    EXPECT_EQ(user32_.registered.size(), 1u);
}

TEST_F(EngineTest, RefusedRegistrationKeepsTheBindingAndTable) {
    user32_.devices = {{handle_of(131), RIM_TYPEMOUSE}};
    user32_.register_result = FALSE;
    user32_.register_error = ERROR_ACCESS_DENIED;
    testing::internal::CaptureStdout();
    form_->FormCreate(form_);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "RegisterRawInputDevices_f failed: 0x00000005\nraw_input_init() failed\n");
    EXPECT_NE(raw_input_state.RegisterRawInputDevices_f, nullptr);
    EXPECT_EQ(raw_input_state.raw_mouse_count, 1);
    EXPECT_EQ(memo_entries(form_), (std::vector<std::string>{"0 131  Mouse", "Amouse[0] = 131"}));
    EXPECT_EQ(raw_input_init(form_), 1);
    EXPECT_EQ(form_->Memo1->Lines->Count(), 2);
}

class PacketTest : public EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        user32_.devices = {{handle_of(11), RIM_TYPEMOUSE},
                           {handle_of(12), RIM_TYPEMOUSE},
                           {handle_of(13), RIM_TYPEKEYBOARD}};
        ASSERT_TRUE(log_file.is_open()) << "the window's creation opens the log";
        init_output();
        ASSERT_EQ(result_, 1);
        form_->Memo1->Lines->Clear();
    }
    std::int32_t send(HANDLE device, const RAWMOUSE& mouse) {
        return process_raw_input(form_, fake::add_mouse_packet(user32_, device, mouse));
    }
    std::string logged() {
        flush_log();
        return testsupport::read_file("log.txt");
    }
};

TEST_F(PacketTest, ReportLinesGoToMemoAndLogByteForByte) {
    EXPECT_EQ(form_->Label1->Caption.get(), "Label1");
    EXPECT_EQ(send(handle_of(11), motion(1, -2)), 1);
    RAWMOUSE wheel{};
    wheel.usButtonFlags = RI_MOUSE_WHEEL;
    wheel.usButtonData = 0x0078;
    EXPECT_EQ(send(handle_of(12), wheel), 1);
    EXPECT_EQ(form_->Label1->Caption.get(), "Hola");

    const std::string first =
        "Mouse: num 0, usFlags=0000 ulButtons=0000 usButtonFlags=0000 usButtonData=0000 "
        "ulRawButtons=0000 lLastX=0001 lLastY=fffffffe ulExtraInformation=0000\r\n";
    const std::string second =
        "Mouse: num 1, usFlags=0000 ulButtons=780400 usButtonFlags=0400 usButtonData=0078 "
        "ulRawButtons=0000 lLastX=0000 lLastY=0000 ulExtraInformation=0000\r\n";
    EXPECT_EQ(memo_entries(form_), (std::vector<std::string>{first, second}));
    EXPECT_EQ(logged(), first + second);
}

TEST_F(PacketTest, UnknownDevicesReportMinusOne) {
    send(handle_of(99), motion(5, 5));
    send(nullptr, motion(0, 0));
    const auto entries = memo_entries(form_);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].rfind("Mouse: num -1,", 0), 0u);
    EXPECT_EQ(entries[1].rfind("Mouse: num -1,", 0), 0u);
}

TEST_F(PacketTest, NonMousePacketsAreReadAndIgnored) {
    const HRAWINPUT h = fake::add_mouse_packet(user32_, handle_of(13), motion(1, 1));
    user32_.packets[h].header.dwType = RIM_TYPEKEYBOARD;
    EXPECT_EQ(process_raw_input(form_, h), 1);
    EXPECT_EQ(form_->Memo1->Lines->Count(), 0);
    EXPECT_EQ(form_->Label1->Caption.get(), "Label1");
    EXPECT_EQ(logged(), "");
}

TEST_F(PacketTest, BufferGrowsOnEqualOrLargerPacketsOnly) {
    send(handle_of(11), motion(1, 0));
    EXPECT_EQ(resize_calls, 1);
    EXPECT_NE(raw_input_state.raw_input_buffer, nullptr);
    EXPECT_EQ(raw_input_state.raw_input_buffer_size, sizeof(RAWINPUT));
    send(handle_of(11), motion(1, 0));
    EXPECT_EQ(resize_calls, 2);  // the same size resizes again

    const HRAWINPUT small = fake::add_mouse_packet(user32_, handle_of(13), motion(0, 0));
    user32_.packets[small].header.dwType = RIM_TYPEHID;
    user32_.packet_size[small] = sizeof(RAWINPUTHEADER) + 8;
    EXPECT_EQ(process_raw_input(form_, small), 1);
    EXPECT_EQ(resize_calls, 2);
    EXPECT_EQ(raw_input_state.raw_input_buffer_size, sizeof(RAWINPUT));
}

TEST_F(PacketTest, AFailedResizeDropsThePacketOnly) {
    send(handle_of(11), motion(1, 0));
    void* buffer = raw_input_state.raw_input_buffer;
    fail_resize = true;
    EXPECT_EQ(send(handle_of(11), motion(2, 0)), 0);
    EXPECT_EQ(raw_input_state.raw_input_buffer, buffer);
    EXPECT_EQ(raw_input_state.raw_input_buffer_size, sizeof(RAWINPUT));
    fail_resize = false;
    EXPECT_EQ(send(handle_of(11), motion(3, 0)), 1);
    EXPECT_EQ(form_->Memo1->Lines->Count(), 2);
}

TEST_F(PacketTest, AShortReadIsReportedAndDropped) {
    user32_.short_read = 4;
    testing::internal::CaptureStdout();
    EXPECT_EQ(send(handle_of(11), motion(1, 0)), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "GetRawInputData doesn't return correct size!\n");
    EXPECT_EQ(form_->Memo1->Lines->Count(), 0);
    user32_.short_read = 0;
    EXPECT_EQ(send(handle_of(11), motion(1, 0)), 1);
    EXPECT_EQ(form_->Memo1->Lines->Count(), 1);
}

TEST_F(PacketTest, AnUnknownHandleIsNotRead) {
    EXPECT_EQ(process_raw_input(form_, reinterpret_cast<HRAWINPUT>(std::uintptr_t{4242})), 0);
    EXPECT_EQ(resize_calls, 0);
    EXPECT_EQ(form_->Memo1->Lines->Count(), 0);
}

TEST_F(PacketTest, ExtremeValuesPrintTheirBitPatterns) {
    RAWMOUSE m{};
    m.usFlags = 0xFFFF;
    m.ulButtons = 0xFFFFFFFF;
    m.ulRawButtons = 0xFFFFFFFF;
    m.lLastX = INT_MIN;
    m.lLastY = INT_MAX;
    m.ulExtraInformation = 0xFFFFFFFF;
    send(handle_of(11), m);
    EXPECT_EQ((*form_->Memo1->Lines)[0],
              "Mouse: num 0, usFlags=ffff ulButtons=ffffffff usButtonFlags=ffff usButtonData=ffff "
              "ulRawButtons=ffffffff lLastX=80000000 lLastY=7fffffff "
              "ulExtraInformation=ffffffff\r\n");
}

TEST_F(PacketTest, AClosedLogTakesNoMoreLines) {
    send(handle_of(11), motion(1, 0));
    log_file.close();
    send(handle_of(11), motion(2, 0));
    EXPECT_EQ(testsupport::split_lines(testsupport::read_file("log.txt")).size(), 1u);
    EXPECT_EQ(form_->Memo1->Lines->Count(), 2);
}

}  // namespace
