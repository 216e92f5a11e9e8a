// velk_kiosk under faults from its clients: a storm of windows mapped and
// withdrawn as fast as a client can while another client drags a frame, and
// windows destroyed while the kiosk is framing them.  The kiosk has to stay
// responsive, keep the dragged frame where the pointer left it, and end
// cleanly with no thread or descriptor more than before.
#include <xcb/xcb.h>

#include <algorithm>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <thread>

#include "client_wishes.h"
#include "ewmh_probe.h"
#include "kiosk_expect.h"
#include "kiosk_harness.h"
#include "kiosk_reparent_gate.h"
#include "kiosk_settle.h"
#include "process_watch.h"

namespace {

using namespace VelkTest;
using namespace std::chrono_literals;

// A backlog of thousands of windows takes a loaded machine a while.
constexpr auto backlogTimeout = 90s;

template <typename Reply>
std::unique_ptr<Reply, decltype(&std::free)> own(Reply* reply) {
    return {reply, std::free};
}

// Maps windows back to back without waiting for anything and withdraws each
// a few maps later, so that the kiosk meets withdrawals before, during and
// after framing; every other window has no name.
std::vector<xcb_window_t> mapAndWithdraw(const XTestClient& storm, size_t count) {
    constexpr size_t lag = 3;
    xcb_connection_t* conn = storm.connection();
    std::vector<xcb_window_t> windows;
    for (size_t index = 0; index < count; ++index) {
        const xcb_window_t win = xcb_generate_id(conn);
        xcb_create_window(conn, XCB_COPY_FROM_PARENT, win, storm.root(),
                          static_cast<int16_t>(1200 + index % 50), static_cast<int16_t>(600 + index % 40),
                          200, 150, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, 0, nullptr);
        if (index % 2 == 0) {
            const std::string name = "storm " + std::to_string(index);
            xcb_change_property(conn, XCB_PROP_MODE_REPLACE, win, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                                static_cast<uint32_t>(name.size()), name.data());
        }
        xcb_map_window(conn, win);
        if (index >= lag) {
            xcb_unmap_window(conn, windows[index - lag]);
        }
        windows.push_back(win);
        if (index % 32 == 0) {
            xcb_flush(conn);
        }
    }
    for (size_t index = count > lag ? count - lag : 0; index < count; ++index) {
        xcb_unmap_window(conn, windows[index]);
    }
    storm.roundTrip();
    return windows;
}

class KioskUnderFaults : public QuietKioskTest {
protected:
    void SetUp() override {
        QuietKioskTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        startKiosk(std::nullopt);
        baseline = quietHoldings();
        dragged = mapWindow(WindowSpec{});
        expectWindowed(client, dragged);
    }

    // Maps a window behind everything sent so far and waits for its frame:
    // the kiosk has then worked through its backlog.
    xcb_window_t mapMarker() {
        WindowSpec params;
        params.name = "marker";
        params.x = 900;
        params.y = 100;
        params.width = 50;
        params.height = 50;
        const xcb_window_t marker = client.createWindow(params);
        client.map(marker);
        EXPECT_TRUE(waitUntil([&] { return client.frameOf(marker) != 0; }, backlogTimeout))
            << "the kiosk did not work through its backlog";
        return marker;
    }

    void withdrawMarker(xcb_window_t marker) const {
        client.unmap(marker);
        EXPECT_TRUE(waitUntil([&] { return client.frameOf(marker) == 0; }, 10s));
        client.destroy(marker);
    }

    // The kiosk's short-lived threads have ended and it holds no more
    // descriptors than before.
    void expectBaselineAgain() const {
        Holdings last;
        EXPECT_TRUE(waitUntil(
            [&] {
                last = holdingsOf(kiosk->pid());
                return last == baseline;
            },
            10s))
            << "before " << baseline << ", after " << last;
    }

    // Top-level frames of the kiosk.
    size_t frameCount() const {
        xcb_connection_t* conn = client.connection();
        auto tree = own(xcb_query_tree_reply(conn, xcb_query_tree(conn, client.root()), nullptr));
        if (!tree) {
            return 0;
        }
        const xcb_window_t* children = xcb_query_tree_children(tree.get());
        size_t frames = 0;
        for (int index = 0; index < xcb_query_tree_children_length(tree.get()); ++index) {
            frames += client.netWmName(children[index]) == "KIOSK_FRAME" ? 1 : 0;
        }
        return frames;
    }

    // Drags the title bar by (dx, dy) and waits until the frame is there.
    void dragTitleBar(Geometry& frameAt, int dx, int dy) const {
        const int x = frameAt.x + 200;
        const int y = frameAt.y + 8;
        xdotool(server.displayName(),
                {"mousemove", std::to_string(x), std::to_string(y), "mousedown", "1", "mousemove",
                 std::to_string(x + dx), std::to_string(y + dy), "mouseup", "1"});
        frameAt.x += dx;
        frameAt.y += dy;
        // The drag is handled after every storm event sent before it: it can
        // take as long as the backlog (a sanitizer build is slower).
        const xcb_window_t frame = client.frameOf(dragged);
        Geometry last;
        EXPECT_TRUE(waitUntil(
            [&] {
                last = client.geometry(frame);
                return last == frameAt;
            },
            backlogTimeout))
            << "the dragged frame is at " << toString(last) << ", expected " << toString(frameAt);
    }

    xcb_window_t dragged = 0;
    Holdings baseline;
};

TEST_F(KioskUnderFaults, StormOfTwoThousandWindowsWhileAFrameIsDraggedLeavesNoFrameBehind) {
    auto storm = std::make_unique<XTestClient>(server.display());
    std::atomic<bool> stormOver{false};
    std::vector<xcb_window_t> windows;
    std::thread stormThread([&] {
        windows = mapAndWithdraw(*storm, 2000);
        stormOver = true;
    });
    Geometry frameAt{100, 100, 646, 501};
    size_t drags = 0;
    while ((!stormOver || drags < 2) && !HasFailure()) {
        dragTitleBar(frameAt, drags % 2 == 0 ? 100 : -100, drags % 2 == 0 ? 50 : -50);
        ++drags;
    }
    stormThread.join();
    ASSERT_FALSE(HasFailure());

    const xcb_window_t marker = mapMarker();
    // Windows the kiosk mapped after the client had already withdrawn them
    // are framed and shown; the client withdraws them once more.
    xcb_connection_t* conn = storm->connection();
    size_t withdrawnAgain = 0;
    for (const xcb_window_t win : windows) {
        if (storm->isMapped(win)) {
            xcb_unmap_window(conn, win);
            ++withdrawnAgain;
        }
    }
    storm->roundTrip();
    size_t stillFramed = 0;
    EXPECT_TRUE(waitUntil(
        [&] {
            stillFramed =
                static_cast<size_t>(std::count_if(windows.begin(), windows.end(), [&](xcb_window_t win) {
                    return storm->parentOf(win) != storm->root();
                }));
            return stillFramed == 0;
        },
        backlogTimeout))
        << stillFramed << " withdrawn windows keep a frame; " << withdrawnAgain << " were withdrawn again";
    storm.reset();

    EXPECT_EQ(frameCount(), 2U) << "only the dragged window and the marker keep a frame";
    EXPECT_TRUE(settlesAt(client, client.frameOf(dragged), frameAt));
    EXPECT_TRUE(settlesAt(client, dragged, {3, 18, 640, 480}));
    withdrawMarker(marker);
    expectBaselineAgain();
    EXPECT_TRUE(kioskLog("exception", 0).empty());
}

// What the server told a client of its windows' structure, event types in
// order per window.
class StructureHistory {
public:
    explicit StructureHistory(xcb_connection_t* connection) : conn(connection) {}

    void drain() {
        while (auto event = own(xcb_poll_for_event(conn))) {
            const uint8_t type = event->response_type & 0x7f;
            if (type == XCB_MAP_NOTIFY || type == XCB_UNMAP_NOTIFY || type == XCB_REPARENT_NOTIFY ||
                type == XCB_DESTROY_NOTIFY) {
                // These four events carry the window at the same offset.
                events[reinterpret_cast<const xcb_map_notify_event_t*>(event.get())->window].push_back(type);
            }
        }
    }

    size_t count(xcb_window_t win, uint8_t type) const {
        const auto found = events.find(win);
        return found == events.end()
                   ? 0
                   : static_cast<size_t>(std::count(found->second.begin(), found->second.end(), type));
    }

private:
    xcb_connection_t* conn;
    std::map<xcb_window_t, std::vector<uint8_t>> events;
};

// The kiosk behind the re-parenting gate: a test's window can be made to
// leave before its re-parenting into the frame, where the client's unmap or
// destroy reaches no frame and the kiosk has not shown the window yet.
class KioskFramingGap : public KioskUnderFaults {
protected:
    void SetUp() override {
        kioskPrefix = gate.kioskPrefix();
        KioskUnderFaults::SetUp();
    }

    // A window of the racer, mapped; `leave` runs while the kiosk waits to
    // re-parent it.  Returns once it has run.
    xcb_window_t mapAndLeaveInTheGap(const std::function<void(xcb_window_t)>& leave) {
        WindowSpec params;
        params.x = 900;
        const xcb_window_t win = racer.createWindow(params);
        racer.watchStructure(win);
        gate.hold(win, [win, leave] { leave(win); });
        racer.map(win);
        EXPECT_TRUE(gate.waitForHeld(win, 10s)) << "the kiosk did not come to re-parent the window";
        return win;
    }

    ReparentGate gate;
    XTestClient racer{server.display()};
    StructureHistory history{racer.connection()};
};

TEST_F(KioskFramingGap, WindowDestroyedWhileItIsFramedLeavesTheKioskServing) {
    const xcb_window_t win = mapAndLeaveInTheGap([this](xcb_window_t gone) { racer.destroy(gone); });
    ASSERT_FALSE(HasFailure());
    const xcb_window_t marker = mapMarker();
    history.drain();
    // Gone before its re-parenting, which then fails, and so does the map
    // that would have shown it.
    EXPECT_EQ(history.count(win, XCB_MAP_NOTIFY), 0U);
    EXPECT_EQ(history.count(win, XCB_REPARENT_NOTIFY), 0U);
    EXPECT_EQ(frameCount(), 2U) << "only the dragged window and the marker keep a frame";
    // Nor does it stay among the managed clients.
    std::vector<uint32_t> listed;
    EXPECT_TRUE(waitUntil(
        [&] {
            listed = readWords(client, client.root(), "_NET_CLIENT_LIST").words;
            return std::count(listed.begin(), listed.end(), marker) == 1;
        },
        10s));
    EXPECT_EQ(std::count(listed.begin(), listed.end(), win), 0) << "the destroyed window is still listed";

    // Not laid over the dragged window, which was admitted at 100,100.
    const xcb_window_t fresh = mapWindow(WindowSpec{});
    EXPECT_TRUE(settlesAt(client, client.frameOf(fresh), {118, 118, 646, 501}));
    EXPECT_TRUE(waitUntil([&] { return client.focus() == fresh; }, 10s));
    client.unmap(fresh);
    EXPECT_TRUE(waitUntil([&] { return client.frameOf(fresh) == 0; }, 10s));
    withdrawMarker(marker);
    expectBaselineAgain();
}

// A client that withdraws its window the moment it asked to show it (a
// splash that changed its mind) may do so before the kiosk has re-parented
// and shown it: its withdrawal, announced on the root, must leave neither
// the window shown nor its frame behind.
TEST_F(KioskFramingGap, WindowWithdrawnWhileItIsFramedKeepsNoFrame) {
    const xcb_window_t win = mapAndLeaveInTheGap([this](xcb_window_t left) { withdraw(racer, left); });
    ASSERT_FALSE(HasFailure());
    const xcb_window_t marker = mapMarker();
    history.drain();
    // Shown once by the kiosk after the withdrawal it had not yet read, then
    // withdrawn by it.
    EXPECT_EQ(history.count(win, XCB_MAP_NOTIFY), 1U);
    EXPECT_EQ(racer.parentOf(win), racer.root()) << "the withdrawn window is still in a frame";
    EXPECT_FALSE(racer.isMapped(win)) << "the withdrawn window is shown";
    EXPECT_EQ(frameCount(), 2U) << "only the dragged window and the marker keep a frame";
    EXPECT_TRUE(waitUntil([&] { return client.focus() == marker; }, 10s));
    withdrawMarker(marker);
    racer.destroy(win);
    expectBaselineAgain();
}

}  // namespace
