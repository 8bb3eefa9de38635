#include "player_core.h"

CClientPlayerCore::CClientPlayerCore(CClientDevice &device, CMediaPlayerOps &media, CClientLogOps &log)
    : m_device(device), m_media(media), m_log(log)
{
}

void CClientPlayerCore::OnMessage(const unsigned char *msg, size_t n)
{
    const PlayerMessage m = CheckPlayerMessage(msg, n);
    switch (m.kind) {
    case PlayerMessage::kSolicitation: m_device.AnswerSolicitation(); break;
    case PlayerMessage::kOpen: OpenFile(m.name); break;
    case PlayerMessage::kControl: Command(m.control); break;
    default:
        ++m_bad;
        LogLine(m_log, "client: player message not acted on: %s", m.error.c_str());
        break;
    }
}

void CClientPlayerCore::OpenFile(const std::u16string &name)
{
    CloseFile();
    // The callback may come after another RUOF replaced this one: only the
    // current session goes to the media player.
    m_session = m_device.Open(name, [this](const std::shared_ptr<CFileSession> &session) {
        if (session != m_session)
            return;
        if (session->GetState() != CFileSession::State::Open) {
            m_session.reset();
            return;
        }
        m_bMediaOpen = true;
        m_media.Open(session);
        if (m_heldPlay == PLAYER_CMD_PAUSE)
            m_media.Pause();
        else if (m_heldPlay == PLAYER_CMD_STOP)
            m_media.Stop();
        if (m_heldSeek >= 0)
            m_media.SeekPercent(m_heldSeek);
        m_heldSeek = -1;
        m_heldPlay = 0;
    });
}

void CClientPlayerCore::CloseFile()
{
    m_heldSeek = -1;
    m_heldPlay = 0;
    const std::shared_ptr<CFileSession> session = std::move(m_session);
    m_session.reset();
    if (m_bMediaOpen) {
        m_bMediaOpen = false;
        m_media.Close();
    }
    if (session)
        session->Close();
}

void CClientPlayerCore::OnPlaybackEnded() { CloseFile(); }

void CClientPlayerCore::Command(const PlayerControl &c)
{
    const uint32_t command = c.dwCommand;
    if (m_session && !m_bMediaOpen) {
        if (command == PLAYER_CMD_SEEK) {
            m_heldSeek = c.nParam1;
            return;
        }
        if (command == PLAYER_CMD_PLAY || command == PLAYER_CMD_PAUSE || command == PLAYER_CMD_STOP) {
            m_heldPlay = command;
            return;
        }
    }
    // No default: a command added to the table does not build until it is
    // acted on here.
    switch (static_cast<PlayerCommand>(c.dwCommand)) {
    case PLAYER_CMD_PLAY: m_media.Play(); break;
    case PLAYER_CMD_PAUSE: m_media.Pause(); break;
    case PLAYER_CMD_STOP: m_media.Stop(); break;
    case PLAYER_CMD_SKIP_BACK: m_media.Skip(-1); break;
    case PLAYER_CMD_SKIP_FORWARD: m_media.Skip(1); break;
    case PLAYER_CMD_REWIND: m_media.Wind(-1); break;
    case PLAYER_CMD_FAST_FORWARD: m_media.Wind(1); break;
    case PLAYER_CMD_STEP: m_media.Step(); break;
    case PLAYER_CMD_FULL_SCREEN:
        // The window sends it as a toggle (button and Alt+Enter alike).
        m_bFullScreen = !m_bFullScreen;
        m_media.FullScreen(m_bFullScreen);
        break;
    case PLAYER_CMD_AUDIO_OFF: m_media.AudioOff(); break;
    case PLAYER_CMD_KILL_PLAYER:
    case PLAYER_CMD_CLOSE: CloseFile(); break;
    case PLAYER_CMD_MOVE:
        m_x = c.nParam1;
        m_y = c.nParam2;
        m_media.VideoRect(m_x, m_y, m_width, m_height);
        break;
    case PLAYER_CMD_SIZE:
        if (c.nParam3 < 0 || c.nParam4 < 0) {
            ++m_bad;
            LogLine(m_log, "client: CONT SIZE %d x %d not acted on", c.nParam3, c.nParam4);
            break;
        }
        m_width = c.nParam3;
        m_height = c.nParam4;
        m_media.VideoRect(m_x, m_y, m_width, m_height);
        break;
    case PLAYER_CMD_MINIMIZE: m_media.Minimize(); break;
    case PLAYER_CMD_VOLUME: m_media.Volume(c.nParam1); break;
    case PLAYER_CMD_MUTE: m_media.Mute(true); break;
    case PLAYER_CMD_SEEK: m_media.SeekPercent(c.nParam1); break;
    case PLAYER_CMD_ACTIVATE: m_media.Activate(c.nParam1 == 1); break;
    }
}
