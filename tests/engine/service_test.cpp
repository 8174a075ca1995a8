// The raw input service: the user32 calls with their Windows semantics, and
// delivery of packets as WM_INPUT to the active form, in order, once each
// (through the program's windows over the toolkit's forms, as the program
// runs it, and once through a fake that is no form at all).
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QWidget>

#include <memory>
#include <set>

#include "app/form_windows.h"
#include "platform/input/service.h"
#include "platform/vcl/qt/native.h"
#include "platform/vcl/vcl.h"
#include "tests/support/test_support.h"

namespace {

using input::Device;
using input::Packet;

class FakeProvider : public input::Provider {
  public:
    std::vector<Device> list;
    DWORD start_error = ERROR_SUCCESS;
    input::PacketSink* sink = nullptr;
    int starts = 0;
    bool follows = true;
    std::vector<bool> told;  // what window_active() was told, in order

    const char* name() const override { return "fake"; }
    std::vector<Device> devices() override { return list; }
    DWORD start(input::PacketSink& s) override {
        ++starts;
        if (start_error == ERROR_SUCCESS)
            sink = &s;
        return start_error;
    }
    bool follows_focus() const override { return follows; }
    void window_active(bool active) override { told.push_back(active); }
};

// A form that records each WM_INPUT it receives, reading the packet back
// through the service as the engine does.
class RecordingForm : public vcl::TForm {
  public:
    using vcl::TForm::TForm;
    input::Service* service = nullptr;
    std::vector<LONG> seen_x;
    std::vector<HRAWINPUT> handles;
    // Each packet's input code, as the message and as its header carry it.
    std::vector<WPARAM> codes;
    std::vector<WPARAM> header_codes;
    int other_messages = 0;

    void WMInput(vcl::TMessage& message) {
        auto handle = reinterpret_cast<HRAWINPUT>(message.LParam);
        handles.push_back(handle);
        codes.push_back(message.WParam);
        RAWINPUT raw{};
        UINT size = sizeof(raw);
        if (service->get_data(handle, RID_INPUT, &raw, &size, sizeof(RAWINPUTHEADER)) ==
            sizeof(raw)) {
            seen_x.push_back(raw.data.mouse.lLastX);
            header_codes.push_back(raw.header.wParam);
        }
    }

    BEGIN_MESSAGE_MAP
    VCL_MESSAGE_HANDLER(WM_INPUT, vcl::TMessage, WMInput)
    END_MESSAGE_MAP(vcl::TForm)
};

Packet packet(std::uintptr_t device, LONG dx) {
    Packet p{};
    p.device = reinterpret_cast<HANDLE>(device);
    p.mouse.lLastX = dx;
    return p;
}

RAWINPUTDEVICE mouse_registration() {
    return RAWINPUTDEVICE{1, 2, 0, nullptr};
}

// Windows of the program that are no forms: what the service hands them is
// kept, each packet read back while its handle is live.
class FakeWindows : public input::ProgramWindows {
  public:
    struct Sent {
        HWND window;
        UINT message;
        WPARAM code;
        LONG x;
    };
    input::Service* service = nullptr;
    std::set<HWND> windows;
    HWND active_window = nullptr;
    std::function<void()> changed;
    std::vector<Sent> sent;

    HWND active() const override { return active_window; }
    bool is_window(HWND window) const override { return windows.count(window) > 0; }
    void send(HWND window, UINT message, WPARAM wparam, LPARAM lparam) override {
        RAWINPUT raw{};
        UINT size = sizeof raw;
        service->get_data(reinterpret_cast<HRAWINPUT>(lparam), RID_INPUT, &raw, &size,
                          sizeof(RAWINPUTHEADER));
        sent.push_back({window, message, wparam, raw.data.mouse.lLastX});
    }
    std::unique_ptr<Watch> watch_activation(std::function<void()> on_change) override {
        changed = std::move(on_change);
        return std::make_unique<Watch>();
    }
};

// A form that hands each packet's handle to a test while the handle is live.
class ProbeForm : public vcl::TForm {
  public:
    using vcl::TForm::TForm;
    std::function<void(HRAWINPUT)> on_packet;
    void WMInput(vcl::TMessage& m) { on_packet(reinterpret_cast<HRAWINPUT>(m.LParam)); }

    BEGIN_MESSAGE_MAP
    VCL_MESSAGE_HANDLER(WM_INPUT, vcl::TMessage, WMInput)
    END_MESSAGE_MAP(vcl::TForm)
};

class ServiceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        auto owned = std::make_unique<FakeProvider>();
        provider_ = owned.get();
        provider_->list = {{reinterpret_cast<HANDLE>(65537), RIM_TYPEMOUSE, "a", ""},
                           {reinterpret_cast<HANDLE>(65538), RIM_TYPEKEYBOARD, "b", ""}};
        service_ = std::make_unique<input::Service>(std::move(owned), windows_);
        service_->install();
    }
    void TearDown() override {
        probe_.reset();
        service_.reset();
        delete form_;
    }
    void show_form() {
        form_ = new RecordingForm(nullptr);
        form_->service = service_.get();
        form_->Show();
        ASSERT_TRUE(testsupport::wait_until([&] { return vcl::TForm::active() == form_; }));
    }
    // Registers the mice and shows a probe form, active, that records the
    // lLastX of every packet it is handed in seen_, then calls `then`.
    void probe_motion(std::function<void()> then) {
        register_mice();
        probe_ = std::make_unique<ProbeForm>(nullptr);
        probe_->on_packet = [this, then](HRAWINPUT h) {
            RAWINPUT raw{};
            UINT size = sizeof raw;
            if (service_->get_data(h, RID_INPUT, &raw, &size, sizeof(RAWINPUTHEADER)) == sizeof raw)
                seen_.push_back(raw.data.mouse.lLastX);
            then();
        };
        probe_->Show();
        ASSERT_TRUE(testsupport::wait_until([&] { return vcl::TForm::active() == probe_.get(); }));
    }

    void register_mice() {
        const RAWINPUTDEVICE d = mouse_registration();
        ASSERT_TRUE(service_->register_devices(&d, 1, sizeof d));
    }

    FakeProvider* provider_ = nullptr;
    app::FormWindows windows_;
    std::unique_ptr<input::Service> service_;
    RecordingForm* form_ = nullptr;
    std::unique_ptr<ProbeForm> probe_;
    std::vector<LONG> seen_;
};

TEST_F(ServiceTest, TheModuleIsFoundByNameAsOnWindows) {
    HMODULE user32 = LoadLibraryA("USER32.DLL");
    ASSERT_NE(user32, nullptr);
    EXPECT_NE(GetProcAddress(user32, "GetRawInputData"), nullptr);
    EXPECT_EQ(GetProcAddress(user32, "GetRawInputBuffer"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
    EXPECT_EQ(LoadLibraryA("kernel33.dll"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
    // An export reaches the service while it is installed, and fails once it is gone.
    using DeviceList = UINT(WINAPI*)(PRAWINPUTDEVICELIST, PUINT, UINT);
    const auto device_list = reinterpret_cast<DeviceList>(
        reinterpret_cast<void (*)()>(GetProcAddress(user32, "GetRawInputDeviceList")));
    UINT n = 0;
    EXPECT_EQ(device_list(nullptr, &n, sizeof(RAWINPUTDEVICELIST)), 0u);
    EXPECT_EQ(n, 2u);
    service_.reset();
    EXPECT_EQ(LoadLibraryA("user32.dll"), nullptr);
    EXPECT_EQ(device_list(nullptr, &n, sizeof(RAWINPUTDEVICELIST)), static_cast<UINT>(-1));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(ServiceTest, DeviceListInTwoCalls) {
    UINT n = 0;
    EXPECT_EQ(service_->get_device_list(nullptr, &n, sizeof(RAWINPUTDEVICELIST)), 0u);
    EXPECT_EQ(n, 2u);
    RAWINPUTDEVICELIST one[1];
    UINT small = 1;
    EXPECT_EQ(service_->get_device_list(one, &small, sizeof(RAWINPUTDEVICELIST)),
              static_cast<UINT>(-1));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(small, 2u);
    RAWINPUTDEVICELIST list[2];
    EXPECT_EQ(service_->get_device_list(list, &n, sizeof(RAWINPUTDEVICELIST)), 2u);
    EXPECT_EQ(list[1].hDevice, reinterpret_cast<HANDLE>(65538));
    EXPECT_EQ(list[1].dwType, RIM_TYPEKEYBOARD);
    EXPECT_EQ(service_->get_device_list(list, &n, 8), static_cast<UINT>(-1));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(ServiceTest, RegistrationChecksWhatIsAskedAndStartsTheProviderOnce) {
    RAWINPUTDEVICE keyboard{1, 6, 0, nullptr};
    EXPECT_FALSE(service_->register_devices(&keyboard, 1, sizeof keyboard));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    const RAWINPUTDEVICE mouse = mouse_registration();
    EXPECT_FALSE(service_->register_devices(&mouse, 1, 12 + sizeof(RAWINPUTDEVICE)));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(provider_->starts, 0);

    provider_->start_error = ERROR_ACCESS_DENIED;
    EXPECT_FALSE(service_->register_devices(&mouse, 1, sizeof mouse));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(service_->registered());

    provider_->start_error = ERROR_SUCCESS;
    EXPECT_TRUE(service_->register_devices(&mouse, 1, sizeof mouse));
    EXPECT_TRUE(service_->register_devices(&mouse, 1, sizeof mouse));
    EXPECT_EQ(provider_->starts, 2);  // the refused start and the one that worked
    EXPECT_TRUE(service_->registered());
}

TEST_F(ServiceTest, ATargetWindowAndReadingInTheBackgroundAreCheckedAsUser32ChecksThem) {
    RecordingForm form(nullptr);
    const HWND window = form.Handle;
    ASSERT_NE(window, nullptr);
    HWND gone = nullptr;
    {
        RecordingForm closed(nullptr);
        gone = closed.Handle;
    }
    ASSERT_EQ(vcl::TForm::from_handle(gone), nullptr);
    constexpr DWORD only_if_nobody_reads = 0x00001000;  // RIDEV_EXINPUTSINK
    struct Case {
        const char* what;
        RAWINPUTDEVICE device;
        DWORD error;
    };
    const std::vector<Case> cases = {
        {"in the background with no window",
         {1, 2, RIDEV_INPUTSINK, nullptr},
         ERROR_INVALID_PARAMETER},
        {"a removal that names a window", {1, 2, RIDEV_REMOVE, window}, ERROR_INVALID_PARAMETER},
        {"a window of no form",
         {1, 2, RIDEV_INPUTSINK, reinterpret_cast<HWND>(0x7ffff0)},
         ERROR_INVALID_WINDOW_HANDLE},
        {"the window of a form that is gone",
         {1, 2, RIDEV_INPUTSINK, gone},
         ERROR_INVALID_WINDOW_HANDLE},
        {"in the background only when nobody else reads",
         {1, 2, only_if_nobody_reads, window},
         ERROR_INVALID_FLAGS},
        {"a keyboard in the background", {1, 6, RIDEV_INPUTSINK, window}, ERROR_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetLastError(ERROR_SUCCESS);
        EXPECT_FALSE(service_->register_devices(&c.device, 1, sizeof c.device));
        EXPECT_EQ(GetLastError(), c.error);
    }
    EXPECT_EQ(provider_->starts, 0);
    EXPECT_FALSE(service_->registered());

    const RAWINPUTDEVICE background{1, 2, RIDEV_INPUTSINK, window};
    EXPECT_TRUE(service_->register_devices(&background, 1, sizeof background));
    EXPECT_TRUE(service_->registered());
    // A refused registration leaves the one that holds as it was.
    EXPECT_FALSE(service_->register_devices(&cases[0].device, 1, sizeof background));
    EXPECT_TRUE(service_->registered());
    // Handles are never given again: a later form does not take the one that went.
    RecordingForm later(nullptr);
    EXPECT_NE(static_cast<HWND>(later.Handle), gone);
    EXPECT_NE(static_cast<HWND>(later.Handle), window);
}

TEST_F(ServiceTest, InTheBackgroundEveryPacketReachesTheTargetMarkedByWhetherAFormIsActive) {
    show_form();
    // The registration names a second form, never shown: it takes every packet.
    RecordingForm target(nullptr);
    target.service = service_.get();
    const RAWINPUTDEVICE background{1, 2, RIDEV_INPUTSINK, target.Handle};
    ASSERT_TRUE(service_->register_devices(&background, 1, sizeof background));
    provider_->sink->push(packet(65537, 1));
    ASSERT_TRUE(testsupport::wait_until([&] { return target.seen_x.size() == 1; }));

    // Another program's window takes the focus.
    QWidget other;
    other.show();
    other.activateWindow();
    ASSERT_TRUE(testsupport::wait_until([] { return vcl::TForm::active() == nullptr; }));
    provider_->sink->push(packet(65537, 2));
    provider_->sink->push(packet(65537, 3));
    ASSERT_TRUE(testsupport::wait_until([&] { return target.seen_x.size() == 3; }));

    EXPECT_EQ(target.seen_x, (std::vector<LONG>{1, 2, 3}));
    const std::vector<WPARAM> codes = {RIM_INPUT, RIM_INPUTSINK, RIM_INPUTSINK};
    EXPECT_EQ(target.codes, codes);
    EXPECT_EQ(target.header_codes, codes);
    EXPECT_TRUE(form_->seen_x.empty()) << "the active form got a packet of the target's";
    EXPECT_EQ(service_->delivered(), 3u);
    EXPECT_EQ(service_->dropped_unfocused(), 0u);
}

TEST_F(ServiceTest, InTheBackgroundAProviderThatWaitsForAWindowIsToldAtOnceAndPlays) {
    provider_->follows = false;
    RecordingForm target(nullptr);  // never shown, never active
    target.service = service_.get();
    const RAWINPUTDEVICE background{1, 2, RIDEV_INPUTSINK, target.Handle};
    ASSERT_TRUE(service_->register_devices(&background, 1, sizeof background));
    EXPECT_EQ(provider_->told, std::vector<bool>{true});
    EXPECT_TRUE(service_->window_active());
    provider_->sink->push(packet(65537, 1));
    provider_->sink->push(packet(65537, 2));
    ASSERT_TRUE(testsupport::wait_until([&] { return target.seen_x.size() == 2; }));
    EXPECT_EQ(target.codes, (std::vector<WPARAM>{RIM_INPUTSINK, RIM_INPUTSINK}));
    EXPECT_EQ(service_->dropped_unfocused(), 0u);
}

TEST_F(ServiceTest,
       ATargetOutsideTheBackgroundTakesPacketsWhileAFormIsActiveAndGoneFollowsTheFocus) {
    show_form();
    auto target = std::make_unique<RecordingForm>(nullptr);
    target->service = service_.get();
    const RAWINPUTDEVICE foreground{1, 2, 0, target->Handle};
    ASSERT_TRUE(service_->register_devices(&foreground, 1, sizeof foreground));
    provider_->sink->push(packet(65537, 1));
    ASSERT_TRUE(testsupport::wait_until([&] { return target->seen_x.size() == 1; }));
    EXPECT_EQ(target->codes, std::vector<WPARAM>{RIM_INPUT});

    QWidget other;
    other.show();
    other.activateWindow();
    ASSERT_TRUE(testsupport::wait_until([] { return vcl::TForm::active() == nullptr; }));
    provider_->sink->push(packet(65537, 2));
    ASSERT_TRUE(testsupport::wait_until([&] { return service_->dropped_unfocused() == 1; }));

    // Its target gone, a packet goes to the active form, as with no target.
    target.reset();
    vcl::qt::widget(form_)->activateWindow();
    ASSERT_TRUE(testsupport::wait_until([&] { return vcl::TForm::active() == form_; }));
    provider_->sink->push(packet(65537, 3));
    ASSERT_TRUE(testsupport::wait_until([&] { return form_->seen_x.size() == 1; }));
    EXPECT_EQ(form_->seen_x, std::vector<LONG>{3});
    EXPECT_EQ(service_->delivered(), 2u);
}

TEST_F(ServiceTest, PacketsReachTheActiveFormInOrderOnceEach) {
    show_form();
    register_mice();
    for (LONG x = 1; x <= 50; ++x)
        provider_->sink->push(packet(65537, x));
    ASSERT_TRUE(testsupport::wait_until([&] { return form_->seen_x.size() >= 50; }));
    std::vector<LONG> expected;
    for (LONG x = 1; x <= 50; ++x)
        expected.push_back(x);
    EXPECT_EQ(form_->seen_x, expected);
    EXPECT_EQ(service_->delivered(), 50u);

    // Once dispatched, a packet's handle is freed.
    RAWINPUT raw{};
    UINT size = sizeof raw;
    EXPECT_EQ(
        service_->get_data(form_->handles.front(), RID_INPUT, &raw, &size, sizeof(RAWINPUTHEADER)),
        static_cast<UINT>(-1));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(ServiceTest, GetRawInputDataHasTheWindowsSemantics) {
    register_mice();
    constexpr UINT failed = static_cast<UINT>(-1);
    UINT query_result = 1, query_size = 0, small_result = 0, small_error = 0, bad_header = 0,
         bad_header_error = 0, header_only = 0, full = 0;
    RAWINPUT copy{};
    input::Service& svc = *service_;
    ProbeForm probe(nullptr);
    probe.on_packet = [&](HRAWINPUT h) {
        query_result = svc.get_data(h, RID_INPUT, nullptr, &query_size, sizeof(RAWINPUTHEADER));
        UINT tiny = 8;
        small_result = svc.get_data(h, RID_INPUT, &copy, &tiny, sizeof(RAWINPUTHEADER));
        small_error = GetLastError();
        UINT size = query_size;
        bad_header = svc.get_data(h, RID_INPUT, &copy, &size, 16 + sizeof(RAWINPUTHEADER));
        bad_header_error = GetLastError();
        UINT header_size = sizeof(RAWINPUTHEADER);
        header_only = svc.get_data(h, RID_HEADER, &copy, &header_size, sizeof(RAWINPUTHEADER));
        size = query_size;
        full = svc.get_data(h, RID_INPUT, &copy, &size, sizeof(RAWINPUTHEADER));
    };
    probe.Show();
    ASSERT_TRUE(testsupport::wait_until([&] { return vcl::TForm::active() == &probe; }));
    provider_->sink->push(packet(65537, -7));
    ASSERT_TRUE(testsupport::wait_until([&] { return full != 0; }));
    EXPECT_EQ(query_result, 0u);
    EXPECT_EQ(query_size, sizeof(RAWINPUT));
    EXPECT_EQ(small_result, failed);
    EXPECT_EQ(small_error, ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(bad_header, failed);
    EXPECT_EQ(bad_header_error, ERROR_INVALID_PARAMETER);
    EXPECT_EQ(header_only, sizeof(RAWINPUTHEADER));
    EXPECT_EQ(full, sizeof(RAWINPUT));
    EXPECT_EQ(copy.header.dwType, RIM_TYPEMOUSE);
    EXPECT_EQ(copy.header.dwSize, sizeof(RAWINPUT));
    EXPECT_EQ(copy.header.hDevice, reinterpret_cast<HANDLE>(65537));
    EXPECT_EQ(copy.data.mouse.lLastX, -7);
}

TEST_F(ServiceTest, PacketsWhileNoFormIsActiveAreDropped) {
    register_mice();
    provider_->sink->push(packet(65537, 1));
    provider_->sink->push(packet(65537, 2));
    ASSERT_TRUE(testsupport::wait_until([&] { return service_->dropped_unfocused() == 2; }));
    EXPECT_EQ(service_->delivered(), 0u);
}

TEST_F(ServiceTest, PacketsOfAProviderThatWaitsForAWindowWaitAndTheProviderIsTold) {
    provider_->follows = false;
    register_mice();
    ASSERT_EQ(provider_->told, std::vector<bool>{false});
    provider_->sink->push(packet(65537, 1));
    provider_->sink->push(packet(65537, 2));
    testsupport::wait_until([] { return false; }, std::chrono::milliseconds(100));
    EXPECT_EQ(service_->delivered(), 0u);

    show_form();
    ASSERT_TRUE(testsupport::wait_until([&] { return service_->delivered() == 2; }));
    EXPECT_EQ(form_->seen_x, (std::vector<LONG>{1, 2}));
    EXPECT_EQ(provider_->told, (std::vector<bool>{false, true}));

    // A window that is not one of the forms takes the activation.
    QWidget other;
    other.show();
    other.activateWindow();
    ASSERT_TRUE(testsupport::wait_until([&] { return provider_->told.back() == false; }));
    provider_->sink->push(packet(65537, 3));
    testsupport::wait_until([] { return false; }, std::chrono::milliseconds(100));
    EXPECT_EQ(service_->delivered(), 2u);

    vcl::qt::widget(form_)->activateWindow();
    ASSERT_TRUE(testsupport::wait_until([&] { return service_->delivered() == 3; }));
    EXPECT_EQ(form_->seen_x, (std::vector<LONG>{1, 2, 3}));
    EXPECT_EQ(provider_->told, (std::vector<bool>{false, true, false, true}));
    EXPECT_EQ(service_->dropped_unfocused(), 0u);
}

TEST_F(ServiceTest, BatchAndFinishHooksFollowTheQueue) {
    show_form();
    register_mice();
    int batches = 0;
    bool finished = false;
    std::size_t seen_at_finish = 0;
    service_->on_batch_handled = [&] { ++batches; };
    service_->on_finished = [&] {
        finished = true;
        seen_at_finish = form_->seen_x.size();
    };
    provider_->sink->push(packet(65537, 1));
    provider_->sink->push(packet(65537, 2));
    provider_->sink->source_finished();
    ASSERT_TRUE(testsupport::wait_until([&] { return finished; }));
    EXPECT_EQ(seen_at_finish, 2u);
    EXPECT_GE(batches, 1);
}

TEST_F(ServiceTest, ABurstIsHandledWhenItEndsInOneBatch) {
    show_form();
    register_mice();
    int batches = 0;
    service_->on_batch_handled = [&] { ++batches; };
    provider_->sink->burst_begin();
    provider_->sink->push(packet(65537, 1));
    provider_->sink->push(packet(65537, 2));
    // An open burst waits, however long the event loop runs.
    QCoreApplication::processEvents();
    EXPECT_EQ(service_->delivered(), 0u);
    provider_->sink->push(packet(65537, 3));
    provider_->sink->burst_end();
    // Handled by the end of the burst itself, with no turn of the event loop.
    EXPECT_EQ(form_->seen_x, (std::vector<LONG>{1, 2, 3}));
    EXPECT_EQ(batches, 1);
}

TEST_F(ServiceTest, ABurstEndingInsideADispatchWaitsForTheNextTurn) {
    probe_motion([&] {
        // A handler that runs the event loop lets the provider read again.
        if (seen_.size() == 1) {
            provider_->sink->burst_begin();
            provider_->sink->push(packet(65537, 9));
            provider_->sink->burst_end();
        }
    });
    provider_->sink->burst_begin();
    for (LONG x = 1; x <= 3; ++x)
        provider_->sink->push(packet(65537, x));
    provider_->sink->burst_end();
    ASSERT_TRUE(testsupport::wait_until([&] { return seen_.size() >= 4; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(seen_, (std::vector<LONG>{1, 2, 3, 9}));
    EXPECT_EQ(service_->delivered(), 4u);
}

TEST_F(ServiceTest, PacketsPushedDuringDispatchGrowTheQueueAndKeepTheirOrder) {
    probe_motion([&] {
        // Mid-burst, far more than the queue holds yet: it grows while in use.
        if (seen_.size() == 100) {
            for (LONG x = 301; x <= 1300; ++x)
                provider_->sink->push(packet(65537, x));
        }
    });
    for (LONG x = 1; x <= 300; ++x)
        provider_->sink->push(packet(65537, x));
    ASSERT_TRUE(testsupport::wait_until([&] { return seen_.size() >= 1300; }));
    std::vector<LONG> expected;
    for (LONG x = 1; x <= 1300; ++x)
        expected.push_back(x);
    EXPECT_EQ(seen_, expected);
    EXPECT_EQ(service_->delivered(), 1300u);
}

// A handler that runs the event loop (a dialog, a progress update) lets the
// next drain run inside the dispatch: each packet still comes once, in order.
TEST_F(ServiceTest, AHandlerThatRunsTheEventLoopSeesEachPacketOnceInOrder) {
    register_mice();
    input::Service& svc = *service_;
    std::vector<LONG> seen;
    ProbeForm probe(nullptr);
    probe.on_packet = [&](HRAWINPUT h) {
        RAWINPUT raw{};
        UINT size = sizeof raw;
        if (svc.get_data(h, RID_INPUT, &raw, &size, sizeof(RAWINPUTHEADER)) == sizeof raw)
            seen.push_back(raw.data.mouse.lLastX);
        if (seen.size() == 2) {
            for (LONG x = 4; x <= 6; ++x)
                provider_->sink->push(packet(65537, x));
            QCoreApplication::processEvents();
        }
    };
    probe.Show();
    ASSERT_TRUE(testsupport::wait_until([&] { return vcl::TForm::active() == &probe; }));
    for (LONG x = 1; x <= 3; ++x)
        provider_->sink->push(packet(65537, x));
    ASSERT_TRUE(testsupport::wait_until([&] { return seen.size() >= 6; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(seen, (std::vector<LONG>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(service_->delivered(), 6u);
}

TEST(ServiceWindowsTest, PacketsGoToTheWindowsTheProgramGivesAsItsActivationChanges) {
    FakeWindows windows;
    const auto first = reinterpret_cast<HWND>(0x10);
    const auto second = reinterpret_cast<HWND>(0x20);
    windows.windows = {first, second};
    auto owned = std::make_unique<FakeProvider>();
    FakeProvider& provider = *owned;
    provider.follows = false;
    input::Service service(std::move(owned), windows);
    windows.service = &service;

    const RAWINPUTDEVICE stranger{1, 2, RIDEV_INPUTSINK, reinterpret_cast<HWND>(0x30)};
    EXPECT_FALSE(service.register_devices(&stranger, 1, sizeof stranger));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE) << "not a window of the program";
    const RAWINPUTDEVICE mice = mouse_registration();
    ASSERT_TRUE(service.register_devices(&mice, 1, sizeof mice));
    EXPECT_EQ(provider.told, std::vector<bool>{false}) << "no window is active";
    provider.sink->push(packet(65537, 1));

    windows.active_window = second;
    ASSERT_TRUE(windows.changed);
    windows.changed();
    EXPECT_EQ(provider.told, (std::vector<bool>{false, true}));
    provider.sink->push(packet(65537, 2));
    ASSERT_TRUE(testsupport::wait_until([&] { return windows.sent.size() == 2; }));
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(windows.sent[i].window, second);
        EXPECT_EQ(windows.sent[i].message, WM_INPUT);
        EXPECT_EQ(windows.sent[i].code, RIM_INPUT);
        EXPECT_EQ(windows.sent[i].x, static_cast<LONG>(i + 1)) << "the packet waited for a window";
    }

    // Reading in the background, the target takes them while none is active.
    const RAWINPUTDEVICE background{1, 2, RIDEV_INPUTSINK, first};
    ASSERT_TRUE(service.register_devices(&background, 1, sizeof background));
    windows.active_window = nullptr;
    windows.changed();
    provider.sink->push(packet(65537, 3));
    ASSERT_TRUE(testsupport::wait_until([&] { return windows.sent.size() == 3; }));
    EXPECT_EQ(windows.sent[2].window, first);
    EXPECT_EQ(windows.sent[2].code, RIM_INPUTSINK);
    EXPECT_EQ(service.delivered(), 3u);
}

}  // namespace
