// The client emulator as the client's media player: its checks of the
// player program's messages.
#include "doctest.h"

#include "player_check.h"
#include "player_msg.h"

#include <string>
#include <vector>

using loopback::CheckPlayerMessage;
using loopback::PlayerMessage;

namespace {

std::vector<unsigned char> Control(uint32_t command, int32_t param1 = 0)
{
    unsigned char m[kPlayerControlSize];
    ComposeControlMessage(m, 7, {command, param1, 0, 0, 0});
    return {m, m + sizeof m};
}

std::vector<unsigned char> Open(const std::u16string &name)
{
    unsigned char m[kPlayerOpenSize];
    ComposeOpenMessage(m, 7, name.data(), name.size());
    return {m, m + sizeof m};
}

std::vector<unsigned char> With(std::vector<unsigned char> m, size_t at, unsigned char value)
{
    m[at] = value;
    return m;
}

PlayerMessage::Kind KindOf(const std::vector<unsigned char> &m)
{
    // An exact copy, so that a read past the bytes is caught by the sanitizer.
    const std::vector<unsigned char> exact(m.begin(), m.end());
    return CheckPlayerMessage(exact.data(), exact.size()).kind;
}

// Malformed messages: 51 bytes, channel 0, a name without zero padding, an
// unknown command.
std::vector<std::vector<unsigned char>> Malformed(const std::u16string &name)
{
    auto shortOne = Control(PLAYER_CMD_PLAY);
    shortOne.pop_back();
    auto channelZero = Control(PLAYER_CMD_PAUSE);
    StoreLE32s(channelZero.data() + hdr::kChannel, 0);
    return {shortOne, channelZero, With(Open(name), kOpenNameOffset + 2 * (name.size() + 1), 'x'), Control(0x00990000)};
}

} // namespace

TEST_CASE("player messages: accepted as composed, refused on any fault of size, header, code, value or padding")
{
    const std::u16string longest(kNameUnits, u'n');
    CHECK(loopback::PlayerMessageText(CheckPlayerMessage(Control(PLAYER_CMD_PAUSE).data(), kPlayerControlSize)) ==
          "CONT PAUSE 0 0 0 0");
    CHECK(loopback::PlayerMessageText(CheckPlayerMessage(Open(u"C:\\x\\sample.wav").data(), kPlayerOpenSize)) ==
          "RUOF name=C:\\x\\sample.wav");
    CHECK(CheckPlayerMessage(Open(longest).data(), kPlayerOpenSize).name == longest);   // no terminator
    for (const auto &good : {Control(PLAYER_CMD_SEEK, 0), Control(PLAYER_CMD_SEEK, 100), Control(PLAYER_CMD_VOLUME, 100),
                             Control(PLAYER_CMD_ACTIVATE, 1), Control(PLAYER_CMD_ACTIVATE, 120), Control(PLAYER_CMD_SKIP_BACK)})
        CHECK(KindOf(good) == PlayerMessage::kControl);
    unsigned char solicitation[kSolicitationSize];
    BuildSolicitation(solicitation, 3);
    CHECK(KindOf({solicitation, solicitation + sizeof solicitation}) == PlayerMessage::kSolicitation);

    std::vector<std::vector<unsigned char>> bad = Malformed(u"C:\\a.avi");
    const auto control = Control(PLAYER_CMD_STOP);
    const auto open = Open(u"C:\\a.avi");
    for (size_t n = 0; n < kPlayerControlSize; ++n)
        bad.emplace_back(control.begin(), control.begin() + n);
    bad.push_back(With(control, hdr::kDataSize, 21));
    auto longer = control;
    longer.push_back(0);
    bad.push_back(longer);
    bad.emplace_back(open.begin(), open.end() - 1);
    for (size_t at = hdr::kChunkIndex; at < kHeaderSize; ++at) {
        bad.push_back(With(control, at, 1));
        bad.push_back(With(open, at, 1));
    }
    bad.push_back(With(control, hdr::kChannel, 0xFF));                  // channel -1
    bad.push_back(With(open, hdr::kChannel, 0));
    bad.push_back(With(control, 0, 'X'));                               // unknown type
    bad.push_back(Control(PLAYER_CMD_SEEK, 101));
    bad.push_back(Control(PLAYER_CMD_SEEK, -1));
    bad.push_back(Control(PLAYER_CMD_VOLUME, 101));
    bad.push_back(Control(PLAYER_CMD_ACTIVATE, 2));
    bad.push_back(Control(PLAYER_CMD_PAUSE | 1));
    bad.push_back(Open(u""));
    bad.push_back(With(open, kOpenNameOffset + kNameBytes - 1, 1));   // the padding's last byte
    bad.push_back(With(open, 552, 1));                                  // the reserved words
    bad.push_back(With(open, 559, 1));
    bad.push_back(With(Open(longest), 552, 1));
    bad.emplace_back(solicitation, solicitation + sizeof solicitation - 1);
    for (const auto &m : bad) {
        CAPTURE(m.size());
        CHECK(KindOf(m) == PlayerMessage::kBad);
    }
    // Names in UTF-8; a lone surrogate as U+FFFD.
    CHECK(loopback::Utf8(u"\u00e9\u20ac\U0001F600") == "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
    CHECK(loopback::Utf8(std::u16string(1, char16_t(0xD800)) + u"a") == "\xEF\xBF\xBD" "a");
}
