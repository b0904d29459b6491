// Renders the admin console into PNG files: the main window connected to a real
// TarviQenServer with three tunnel sessions (one selected, its statistics and graphs
// shown), the connect dialog, the server dialog and the properties dialog. Each
// picture gets a plain title bar with the window's title, so that titles can be read.
#include "admin/ServerConnection.h"
#include "admin/ServerList.h"
#include "tunnel/AdminProtocol.h"
#include "admin/SessionList.h"
#include "admin/qt/AdminIcon.h"
#include "admin/qt/ConnectDlg.h"
#include "admin/qt/MainFrm.h"
#include "admin/qt/ServerBar.h"
#include "admin/qt/ServerDlg.h"
#include "admin/qt/ServerPropertiesDlg.h"
#include "admin/qt/SessionBar.h"
#include "platform/SocketLayer.h"
#include "platform/TextConversion.h"
#include "support/FakeClock.h"
#include "support/ServerProcess.h"
#include "support/TestSupport.h"
#include "support/TunnelTestClient.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QHeaderView>
#include <QPainter>
#include <QTableView>
#include <QTimer>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace tq_test;

namespace
{
constexpr int POLLS = 150;
constexpr uint32_t POLL_MS = 2000;

void Spin(int milliseconds)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < milliseconds)
        QApplication::processEvents(QEventLoop::AllEvents, 10);
}

// The widget as a window would show it: a title bar with the icon and title on top.
bool Save(QWidget& window, const QString& path)
{
    Spin(100);
    const QPixmap content = window.grab();
    const int bar = 28;
    QImage image(content.width(), content.height() + bar, QImage::Format_ARGB32);
    image.fill(QColor(0x3c, 0x3f, 0x44));
    QPainter painter(&image);
    painter.drawImage(QRect(6, 6, 16, 16), DrawAdminIcon(16));
    painter.setPen(Qt::white);
    QFont font = window.font();
    font.setBold(true);
    painter.setFont(font);
    painter.drawText(QRect(30, 0, image.width() - 36, bar), Qt::AlignVCenter, window.windowTitle());
    painter.drawPixmap(0, bar, content);
    painter.end();
    // A palette of 256 colours keeps the files small; the windows have few colours.
    const bool saved =
        image.convertToFormat(QImage::Format_Indexed8, Qt::ThresholdDither | Qt::AvoidDither)
            .save(path, "PNG");
    std::fprintf(stderr, "%s %s\n", saved ? "wrote" : "FAILED", path.toLocal8Bit().constData());
    return saved;
}

// A loopback listener whose accept queue is full: a connect to it stays pending, as to
// a server that does not answer.
class FullListener
{
public:
    FullListener()
    {
        m_fd = BindLoopback(SOCK_STREAM, m_port);
        // With a backlog of 0 the queue holds one connection; the next one waits.
        listen(m_fd, 0);
        m_client = ConnectLoopback(m_port);
    }
    ~FullListener()
    {
        if (m_client >= 0)
            close(m_client);
        close(m_fd);
    }
    uint16_t Port() const { return m_port; }

private:
    int m_fd = -1;
    uint16_t m_port = 0;
    int m_client = -1;
};

// A target host that answers every chunk it reads with twice as many bytes, as a host
// whose replies are larger than the requests.
class ReplyHost
{
public:
    ReplyHost()
    {
        m_fd = BindLoopback(SOCK_STREAM, m_port);
        listen(m_fd, 4);
        m_thread = std::thread([this] { Run(); });
    }
    ~ReplyHost()
    {
        m_bStop = true;
        m_thread.join();
        for (const pollfd& entry : m_entries)
            close(entry.fd);
    }
    uint16_t Port() const { return m_port; }

private:
    void Run()
    {
        m_entries.push_back({m_fd, POLLIN, 0});
        while (!m_bStop)
        {
            if (poll(m_entries.data(), m_entries.size(), 20) <= 0)
                continue;
            for (size_t i = 0; i < m_entries.size(); ++i)
            {
                if ((m_entries[i].revents & POLLIN) == 0)
                    continue;
                if (i == 0)
                {
                    m_entries.push_back({accept(m_fd, nullptr, nullptr), POLLIN, 0});
                    continue;
                }
                char buffer[4096];
                const ssize_t n = recv(m_entries[i].fd, buffer, sizeof(buffer), 0);
                for (int copy = 0; n > 0 && copy < 2; ++copy)
                    send(m_entries[i].fd, buffer, static_cast<size_t>(n), MSG_NOSIGNAL);
            }
        }
    }

    int m_fd = -1;
    uint16_t m_port = 0;
    std::vector<pollfd> m_entries;
    std::atomic<bool> m_bStop{false};
    std::thread m_thread;
};

// Data through one session, a little more or less at each turn, until stopped.
void Traffic(TunnelTestClient& client, const std::atomic<bool>& stop)
{
    for (int turn = 0; !stop; ++turn)
    {
        const size_t size =
            static_cast<size_t>(1000 + 600 * std::sin(turn / 9.0) + 250 * std::sin(turn / 2.3));
        std::vector<uint8_t> in;
        client.m_received.clear();
        client.Exchange(std::vector<uint8_t>(size, 'x'), 2 * size, in, std::chrono::seconds(2));
        std::this_thread::sleep_for(std::chrono::milliseconds(90));
    }
}

bool SaveConnectDialog(const QString& folder)
{
    FullListener listener;
    ServerSettingValues settings;
    CServerConnection connection(CSystemSocketLayer::Instance(), settings);
    connection.setServer(CServerDefinition(u"Depot", u"127.0.0.1", listener.Port(), u"5318"));
    CConnectDlg dialog(connection);
    dialog.show();
    Spin(3000);
    const bool saved = Save(dialog, folder + "/admin-connect.png");
    connection.disconnect();
    return saved;
}

bool SaveServerDialog(const QString& folder)
{
    CServerDlg dialog(QStringLiteral("Add"),
                      CServerDefinition(u"Warehouse", u"proxy.warehouse.example", 7000, u"5318"));
    dialog.show();
    return Save(dialog, folder + "/admin-server.png");
}

bool SaveConsole(const QString& folder, ServerProcess& server)
{
    ReplyHost host;
    std::vector<std::unique_ptr<TunnelTestClient>> clients;
    for (int i = 0; i < 3; ++i)
    {
        clients.push_back(std::make_unique<TunnelTestClient>(server.ClientPort()));
        if (!clients.back()->Connect() || !clients.back()->Open("127.0.0.1", host.Port()))
            return false;
    }
    CServerList servers;
    servers.add(std::make_unique<CServerDefinition>(u"Depot", u"10.20.0.5", 7000, u""));
    servers.add(
        std::make_unique<CServerDefinition>(u"Local", u"127.0.0.1", server.AdminPort(), u"5318"));
    servers.add(
        std::make_unique<CServerDefinition>(u"Warehouse", u"proxy.warehouse.example", 7000, u""));
    ServerSettingValues settings;
    CServerConnection connection(CSystemSocketLayer::Instance(), settings);
    CSessionList sessions;
    CMainFrame frame(servers, connection, sessions, settings);
    FakeClock clock;
    frame.setClock(clock);
    frame.show();
    frame.serverBar()->refill(u"Local");
    frame.onConnect();
    if (!connection.isConnected() || sessions.getCount() != 3)
        return false;
    // Sorted by session ID, the middle row selected.
    frame.sessionBar()->view()->horizontalHeader()->sectionClicked(0);
    frame.sessionBar()->view()->selectRow(1);
    const std::string selected = Utf16ToUtf8(sessions.getSessionID(1));
    TunnelTestClient* busy = nullptr;
    for (const auto& client : clients)
        if (client->ClientId() == selected)
            busy = client.get();
    std::atomic<bool> stop{false};
    std::thread traffic([busy, &stop] { Traffic(*busy, stop); });

    // Five minutes of polls, each stamped 2 s after the one before.
    int polls = 0;
    QEventLoop loop;
    QObject::connect(&frame.statisticsTimer(), &QTimer::timeout, &loop,
                     [&]
                     {
                         clock.Advance(POLL_MS);
                         if (++polls == POLLS)
                             loop.quit();
                     });
    frame.statisticsTimer().setInterval(100);
    loop.exec();
    stop = true;
    traffic.join();
    bool saved = Save(frame, folder + "/admin-main.png");

    CServerPropertiesDlg properties(connection, settings, servers, &frame);
    properties.show();
    saved = Save(properties, folder + "/admin-properties.png") && saved;
    return saved;
}
} // namespace

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    if (argc != 2)
    {
        std::fprintf(stderr, "Usage: tq_admin_screenshots FOLDER\n");
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(folder);
    // The server program lies beside this one.
    if (std::getenv("TQ_BIN_DIR") == nullptr)
        setenv("TQ_BIN_DIR", QCoreApplication::applicationDirPath().toLocal8Bit().constData(), 1);
    TempDir registry;
    setenv("TARVIQEN_REGISTRY", registry.Path().c_str(), 1);
    ServerProcess server(ServerOptions{2, 0, 10000, "5318"});
    if (!server.Start())
    {
        std::fprintf(stderr, "The server did not start.\n");
        return 1;
    }
    bool saved = SaveConsole(folder, server);
    saved = SaveConnectDialog(folder) && saved;
    saved = SaveServerDialog(folder) && saved;
    server.Stop();
    return saved ? 0 : 1;
}
