// What the player window decides, without a window: the progress display
// from the server's notifications, the video-area commands, and taking a
// file name from a command line or a second start's record.
#include "doctest.h"

#include "command_line.h"
#include "layout.h"
#include "notify.h"
#include "player_msg.h"
#include "progress.h"
#include "video_area.h"

#include <string>
#include <vector>

namespace {

constexpr uint16_t kMine = 0xBEEF;

ProgressUpdate Note(CProgressDisplay &d, uint32_t code, int32_t lParam, uint16_t checksum = kMine, uint32_t origin = 0,
                    uint16_t current = kMine)
{
    return d.OnNotification(current, MakeNotifyWParam(code, origin, checksum), lParam);
}

} // namespace

TEST_CASE("progress: only the current file's notifications count, and a new file starts from zero")
{
    CProgressDisplay d;
    CHECK_FALSE(Note(d, NOTIFY_FILE_OPENED, 3, 0x1234).setStatus);   // another file
    CHECK_FALSE(Note(d, NOTIFY_SERVER_ENDED, 0, 0).setStatus);       // no checksum: ignored once a file was sent
    ProgressUpdate before = Note(d, NOTIFY_SERVER_ENDED, 0, 0, 0, 0);
    CHECK(before.status == L"Please restart server.");
    CHECK(Note(d, NOTIFY_SERVER_READY, 0, 0, 0, 0).setStatus);
    CHECK(Note(d, NOTIFY_SERVER_READY, 0, 0, 0, 0).status.empty());

    ProgressUpdate open = Note(d, NOTIFY_FILE_OPENED, 3);
    CHECK(open.status == L"File opened by remote player");
    CHECK((open.setSlider && open.slider == 0));
    CHECK_FALSE(Note(d, NOTIFY_FILE_SIZE, 4096000).setStatus);   // size alone changes nothing visible
    CHECK(Note(d, NOTIFY_SEEK, 0, kMine, 2).status == L"Seeking...");
    ProgressUpdate read = Note(d, NOTIFY_READ, 65536);
    CHECK(read.status == L"Playing.....           64 kbytes from 4000;");
    CHECK((read.setSlider && read.slider == 1));
    Note(d, NOTIFY_SEEK, 2048000, kMine, 0);
    CHECK(Note(d, NOTIFY_READ, 1024).slider == 50);
    Note(d, NOTIFY_SEEK, 24576, kMine, 1);   // origin 1 adds, origin 2 subtracts
    Note(d, NOTIFY_SEEK, 1024, kMine, 2);
    CHECK(d.Position() == 2048000 + 1024 + 24576 - 1024);
    ProgressUpdate closed = Note(d, NOTIFY_FILE_CLOSED, 3);
    CHECK((closed.setStatus && closed.status.empty() && closed.setSlider && closed.slider == 0));
    CHECK(d.Position() == 0);
    CHECK_FALSE(Note(d, 6, 1).setStatus);   // an unknown code

    // The first notification of another file resets position and size.
    Note(d, NOTIFY_READ, 5000, 0x0102, 0, 0x0102);
    CHECK(d.Size() == 0);
    CHECK(d.Position() == 5000);
}

TEST_CASE("progress: after a reconnect the cut open's late close and the new open leave the slider where the play goes on")
{
    CProgressDisplay d;
    Note(d, NOTIFY_FILE_SIZE, 1000000);
    Note(d, NOTIFY_READ, 400000);
    d.OnResume(40);
    CHECK_FALSE(Note(d, NOTIFY_FILE_CLOSED, 3).setSlider);
    ProgressUpdate open = Note(d, NOTIFY_FILE_OPENED, 4);
    CHECK((open.setSlider && open.slider == 40));
    Note(d, NOTIFY_SEEK, 400000, kMine, 0);
    CHECK(Note(d, NOTIFY_READ, 100000).slider == 50);
    // Only once: a later close and open are the user's.
    CHECK((Note(d, NOTIFY_FILE_CLOSED, 4).setSlider && Note(d, NOTIFY_FILE_OPENED, 5).slider == 0));
    // Another file's first notification calls a pending resume off.
    d.OnResume(70);
    CHECK(Note(d, NOTIFY_FILE_OPENED, 6, 0x0102, 0, 0x0102).slider == 0);
}

TEST_CASE("progress: a seek holds the slider for five reads; tiny files and reads past the end stay in range")
{
    CProgressDisplay d;
    Note(d, NOTIFY_FILE_SIZE, 1000000);
    d.OnSeekSent();
    for (int i = 0; i < 5; ++i)
        CHECK_FALSE(Note(d, NOTIFY_READ, 100000).setSlider);
    CHECK(d.SeekHoldOff() == 0);
    CHECK(Note(d, NOTIFY_READ, 100000).slider == 60);
    CHECK(Note(d, NOTIFY_READ, 9000000).slider == 100);   // past the end

    // A long drag: 100 values sent hold the slider for 50 reads, not 500.
    for (int i = 0; i < 100; ++i)
        d.OnSeekSent();
    CHECK(d.SeekHoldOff() == 50);
    for (int i = 0; i < 50; ++i)
        CHECK_FALSE(Note(d, NOTIFY_READ, 1).setSlider);
    CHECK(Note(d, NOTIFY_READ, 1).setSlider);

    CProgressDisplay tiny;
    Note(tiny, NOTIFY_FILE_SIZE, 50);
    CHECK(Note(tiny, NOTIFY_READ, 25).slider == 50);
    CHECK(Note(tiny, NOTIFY_READ, 25).slider == 100);
    CHECK(Note(tiny, NOTIFY_READ, 1000).slider == 100);
    CProgressDisplay unknownSize;
    CHECK_FALSE(Note(unknownSize, NOTIFY_READ, 25).setSlider);
    CHECK(Note(unknownSize, NOTIFY_READ, 0x7FFFFFFF).status == L"Playing.....      2097152 kbytes from 0;");
}

TEST_CASE("video area: the first check reports place and size; a minimise, then a restore sends its size and a new place")
{
    CVideoAreaTracker t;
    auto first = t.Check({100, 50, 500, 350});
    REQUIRE(first.size() == 2);
    CHECK((first[0].code == PLAYER_CMD_MOVE && first[0].p1 == 100 && first[0].p2 == 50));
    CHECK(first[0].log == L"Move 100, 50\r\n");
    CHECK((first[1].code == PLAYER_CMD_SIZE && first[1].p3 == 400 && first[1].p4 == 300));
    CHECK(first[1].log == L"Size 400, 300\r\n");
    CHECK(t.Check({100, 50, 500, 350}).empty());

    auto moved = t.Check({120, 50, 520, 350});
    REQUIRE(moved.size() == 1);
    CHECK(moved[0].code == PLAYER_CMD_MOVE);
    auto resized = t.Check({120, 50, 600, 400});
    REQUIRE(resized.size() == 1);
    CHECK(resized[0].code == PLAYER_CMD_SIZE);

    auto minimised = t.Check({-32000, -32000, -31840, -31970});
    REQUIRE(minimised.size() == 1);
    CHECK(minimised[0].code == PLAYER_CMD_MINIMIZE);
    CHECK(minimised[0].log == L"Minimize\r\n");
    auto restored = t.Check({10, 10, 490, 360});   // back at another place: where, then how large
    REQUIRE(restored.size() == 2);
    CHECK((restored[0].code == PLAYER_CMD_MOVE && restored[0].p1 == 10 && restored[0].p2 == 10));
    CHECK((restored[1].code == PLAYER_CMD_SIZE && restored[1].p3 == 480 && restored[1].p4 == 350));
    CHECK(restored[1].log == L"Restore 480, 350\r\n");

    auto offLeft = t.Check({-5, 10, 475, 360});   // dragged partly off the left edge
    REQUIRE(offLeft.size() == 1);
    CHECK(offLeft[0].code == PLAYER_CMD_MINIMIZE);

    // A platform that keeps minimised windows on the screen says so; the
    // same rectangle then comes back as a restore.
    t.Check({10, 10, 490, 360});
    auto iconic = t.Check({10, 10, 490, 360}, true);
    REQUIRE(iconic.size() == 1);
    CHECK(iconic[0].code == PLAYER_CMD_MINIMIZE);
    auto back = t.Check({10, 10, 490, 360});   // at the same place: its size alone
    REQUIRE(back.size() == 1);
    CHECK(back[0].log == L"Restore 480, 350\r\n");

    // A monitor left of the main one (the virtual screen starts at -1920):
    // negative places are places there; only what lies left of it, or an
    // iconic window, is minimised.
    CVideoAreaTracker left;
    CHECK(left.Check({-1500, 100, -1000, 400}, false, -1920).size() == 2);
    auto there = left.Check({-1400, 100, -900, 400}, false, -1920);
    REQUIRE(there.size() == 1);
    CHECK((there[0].code == PLAYER_CMD_MOVE && there[0].p1 == -1400));
    auto gone = left.Check({-32000, -32000, -31840, -31970}, false, -1920);
    REQUIRE(gone.size() == 1);
    CHECK(gone[0].code == PLAYER_CMD_MINIMIZE);
    CHECK(left.Check({-1400, 100, -900, 400}, true, -1920)[0].code == PLAYER_CMD_MINIMIZE);
}

TEST_CASE("a file name from a command line: the first word, quoted or not, only from 1 to 259 characters")
{
    wchar_t name[kFileNameUnits] = L"C:\\old.avi";
    int length = 10;
    auto take = [&](const std::wstring &line) { return TakeFileNameFromCommandLine(line.c_str(), line.size(), name, &length); };

    CHECK(take(L"\"C:\\My Videos\\a b.avi\" --extra"));
    CHECK(std::wstring(name) == L"C:\\My Videos\\a b.avi");
    CHECK(length == 20);
    CHECK(take(L"C:\\x.avi second"));
    CHECK(std::wstring(name) == L"C:\\x.avi");
    CHECK(take(L"\"unterminated name"));
    CHECK(std::wstring(name) == L"unterminated name");
    CHECK(take(L" leading"));
    CHECK(length == 0);

    CHECK(take(std::wstring(259, L'a')));
    CHECK(length == 259);
    CHECK(take(L"C:\\kept.avi"));
    CHECK_FALSE(take(std::wstring(260, L'b')));
    CHECK_FALSE(take(std::wstring(300, L'c')));
    CHECK_FALSE(take(L""));
    CHECK(std::wstring(name) == L"C:\\kept.avi");
    CHECK(length == 11);
}

TEST_CASE("a second start's record is read within its byte count, whatever it holds")
{
    const unsigned char text[] = {'a', 0, 'b', 0, 'c', 0, 0, 0, 'd', 0};
    CHECK(CopyDataText(text, sizeof text) == L"abc");
    CHECK(CopyDataText(text, 5) == L"ab");   // odd count: the last byte is left out
    CHECK(CopyDataText(text, 4) == L"ab");   // no NUL within the count
    CHECK(CopyDataText(nullptr, 10).empty());
    CHECK(CopyDataText(text, 0).empty());
    const unsigned char wide[] = {0xE9, 0x00, 0x2D, 0x4E};
    CHECK(CopyDataText(wide, 4) == std::wstring{L'\u00e9', L'\u4e2d'});

    // A record of any size: at most 261 units are taken, enough for the
    // command line to refuse 260 characters and more alike, and a record
    // that claims more than it is never read past those.
    std::vector<unsigned char> huge(2 * 100000, 'x');
    for (size_t i = 1; i < huge.size(); i += 2)
        huge[i] = 0;
    CHECK(CopyDataText(huge.data(), huge.size()).size() == kCopyDataUnits);
    CHECK(CopyDataText(huge.data(), 2 * 260).size() == 260);
    wchar_t name[kFileNameUnits] = L"C:\\kept.avi";
    int length = 11;
    for (size_t units : {size_t{260}, size_t{261}, huge.size() / 2}) {
        const std::wstring text = CopyDataText(huge.data(), 2 * units);
        CHECK_FALSE(TakeFileNameFromCommandLine(text.c_str(), text.size(), name, &length));
    }
    CHECK(std::wstring(name) == L"C:\\kept.avi");
    const std::wstring fits = CopyDataText(huge.data(), 2 * 259);
    CHECK(TakeFileNameFromCommandLine(fits.c_str(), fits.size(), name, &length));
    CHECK(length == 259);
}

TEST_CASE("layout: controls widen, grow and move down by the change of the client area, never inverted")
{
    CLayoutRules layout;
    layout.SetInitialClientSize(400, 300);
    layout.Add(1, LAYOUT_WIDTH, {10, 10, 390, 30});
    layout.Add(2, LAYOUT_WIDTH | LAYOUT_HEIGHT, {10, 40, 390, 240});
    layout.Add(3, LAYOUT_WIDTH | LAYOUT_MOVE_DOWN, {10, 250, 390, 270});
    layout.Add(4, LAYOUT_MOVE_DOWN | LAYOUT_MOVE_RIGHT, {384, 284, 400, 300});
    layout.Add(5, 0, {10, 280, 60, 295});
    const auto grown = layout.Arrange(500, 350);
    CHECK(grown[0].initial == AreaRect{10, 10, 490, 30});
    CHECK(grown[1].initial == AreaRect{10, 40, 490, 290});
    CHECK(grown[2].initial == AreaRect{10, 300, 490, 320});
    CHECK(grown[3].initial == AreaRect{484, 334, 500, 350});
    CHECK(grown[4].initial == AreaRect{10, 280, 60, 295});
    const auto tiny = layout.Arrange(0, 0);
    CHECK(tiny[1].initial == AreaRect{10, 40, 10, 40});

    // At 150 %: the rules hold at the new scale (the window at 600 x 450 is
    // the same window), and back at 100 % everything is where it was.
    layout.SetBaseDpi(96);
    layout.ScaleTo(144);
    const auto large = layout.Arrange(750, 525);
    CHECK(large[0].initial == AreaRect{15, 15, 735, 45});
    CHECK(large[1].initial == AreaRect{15, 60, 735, 435});
    CHECK(large[2].initial == AreaRect{15, 450, 735, 480});
    CHECK(large[3].initial == AreaRect{726, 501, 750, 525});
    CHECK(large[4].initial == AreaRect{15, 420, 90, 443});   // 442.5 rounds up
    CHECK(layout.Scaled(-7) == -11);
    layout.ScaleTo(96);
    const auto back = layout.Arrange(500, 350);
    for (size_t i = 0; i < back.size(); ++i)
        CHECK(back[i].initial == grown[i].initial);
}
