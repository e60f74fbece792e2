#pragma once

#include "CheckSession.h"
#include "Sasl.h"
#include "Transport.h"
#include "core/Clock.h"

#include <QMap>
#include <QSet>
#include <QStringList>
#include <QTimer>

// The IMAP conversation with one user's server, on a connection of its own: greeting,
// [STARTTLS,] CAPABILITY, the login (AUTHENTICATE PLAIN where offered, else LOGIN; with an
// access token AUTHENTICATE OAUTHBEARER where offered, else XOAUTH2),
// STATUS folder (UNSEEN), LOGOUT. The count is the folder's unseen messages. The stages, as
// logged: 1 the greeting (and the TLS handshake of imaps), 2 STARTTLS and its handshake,
// 3 CAPABILITY, 4 the login, 5 STATUS, 6 LOGOUT.
//
// Watching, the connection stays: after the login, 7 EXAMINE the folder, 8 the count, 9 IDLE.
// In the folder it has open it counts with SEARCH UNSEEN (SEARCH RETURN (COUNT) UNSEEN where
// the server offers ESEARCH): a server may take STATUS on the selected folder for a fault.
// On EXISTS, EXPUNGE or FETCH from the server and on Refresh it sends DONE, counts again and
// goes back to IDLE. Between events it costs nothing: where the server sends lines of its own
// in IDLE (keep-alives such as "* OK Still here"), each proves the link, and only when none has
// come for the smaller of twice their spacing and the check interval does it refresh (whose
// reply time-out then tells a dead link); where it sends none, it refreshes every check
// interval, at most every 29 minutes.
//
// Listing (CheckRequest::list), polling too opens the folder with EXAMINE (7) and counts
// there: UID SEARCH UNSEEN (UID SEARCH RETURN (ALL COUNT) UNSEEN with ESEARCH) names the unseen
// messages, and UID FETCH of BODY.PEEK[HEADER.FIELDS (...)] brings the headers of those the
// request does not know (8), which marks nothing read. The folder's UIDVALIDITY comes with
// EXAMINE's reply; where it differs from the request's, nothing is fetched.
//
// Marking read (SetMarkRead): after the login, SELECT the folder (7), UID STORE the messages
// +FLAGS.SILENT (\Seen) (8), LOGOUT (6); nothing is counted.
//
// A hostile server costs little: a line over `LineLimit`, a literal announced over
// `LiteralLimit` or a response that grows past both ends the check at once; untagged
// responses that are not understood are ignored; every command waits at most the reply
// time-out.
class ImapSession final : public CheckSession {
    Q_OBJECT
public:
    static constexpr int TimeoutMs = 60000;
    static constexpr qsizetype LineLimit = 64 * 1024;
    static constexpr qint64 LiteralLimit = 1024 * 1024;
    // What a server may make the session keep or read for nothing: more ends the check as
    // a hostile reply.
    static constexpr int CapabilityLimit = 256;
    static constexpr qsizetype CapabilityWordLimit = 64;
    static constexpr int ChatterLimit = 10000;    // untagged lines that change nothing ...
    static constexpr int ChatterWindowMs = 60000; // ... within this time
    // A line that changes nothing while idling: a server's keep-alive ("* OK Still here").
    static bool ChangesNothing(QByteArrayView line);

    explicit ImapSession(const TransportFactory& makeTransport, QObject* parent = nullptr);
    ~ImapSession() override;

    void Begin(const CheckRequest& request) override;
    int Stage() const override { return stage_; }
    void Close() override;
    void SetTimeoutInterval(int ms) override { tmrTimeout.setInterval(ms); }

    // The most UIDs a search is read for; more are counted only.
    static constexpr qsizetype UidLimit = 100000;

    // Marks the messages with these UIDs read rather than counting (before Begin).
    void SetMarkRead(const QStringList& uids) { markRead_ = uids; }
    // Watch rather than poll (before Begin).
    void SetWatching(bool watch) { watch_ = watch; }
    // Watching: the check interval, which times the refresh.
    void SetCheckInterval(qint64 ms) { checkIntervalMs_ = ms; }
    // Watching: the clock by which the spacing of the server's keep-alives is measured
    // (none: each keep-alive merely restarts the refresh interval).
    void SetClock(const Clock* clock) { clock_ = clock; }
    // Watching: counts again now.
    void Refresh();
    // What tmrRefresh runs: refreshes unless the server's lines have proved the link recently
    // enough by the clock.
    void OnWatchDue();
    // How long until tmrRefresh fires, in ms; -1 when it does not run.
    int WatchDueInMs() const { return tmrRefresh.isActive() ? tmrRefresh.interval() : -1; }
    // Timers running now: while idling, only the refresh (each one is a wake-up).
    int RunningTimers() const {
        return int(tmrTimeout.isActive()) + int(tmrRefresh.isActive()) + int(tmrChatter.isActive());
    }
    // Lines of the server's own received in IDLE on this connection.
    int KeepAlives() const { return keepAlives_; }
    // The server has said it idles, and no DONE has gone out since.
    bool Idling() const { return idling_; }
    // Leaves in order (DONE, LOGOUT). Logged in, it reads on until the server answers the
    // LOGOUT or hangs up, or the reply time-out, then closes: cut off at once, a connection
    // whose server still has something on the way is reset, and the server may lose the
    // LOGOUT unread. Emits Left when closed; true while it waits.
    bool Logout();

signals:
    // Logout has closed the connection.
    void Left();

private:
    enum class Step {
        Greeting,
        StartTls,
        Handshake,
        Capability,
        Login,
        Examine,
        Status,
        Fetch,
        Store,
        Idle,
        Logout
    };

    void OnLine(const QByteArray& line);
    void OnArrivalEnded();
    void OnEncrypted();
    void OnFailed(const QString& description);
    // A whole response, its literals included.
    void OnResponse(const QByteArray& response);
    void OnTaggedOk();
    // Keeps the words of a CAPABILITY reply; false (the check failed) past the limits.
    bool KeepCapabilities(const QByteArray& words);
    void AskCapabilities();
    void LogIn();
    // Signs in with the request's access token.
    void LogInWithBearer();
    // Answers the server's error challenge during a bearer sign-in.
    void OnBearerChallenge(const QByteArray& challenge);
    void AskCount();
    // The count is in (and any headers fetched): handed on, then IDLE or LOGOUT.
    void HandOnCount();
    void AfterCount();
    void SendDone();
    // Idling: the server said something that changes nothing, which proves the link.
    void OnKeepAlive();
    // Waits for the server's next line, for at most the silence allowed from the last.
    void AwaitNews();
    void OnWoke(const DozeReport& report);
    // Counts untagged lines that changed nothing; false when that many ended the check.
    bool CountChatter(int lines);
    // The refresh interval without keep-alives: the check interval, 1 to 29 minutes.
    qint64 RefreshMs() const;
    // How long the link may stay silent before a refresh tests it.
    qint64 SilenceMs() const;
    void Send(int stage, Step step, const QList<QByteArray>& parts);
    QByteArray NextTag();
    // `serverLeft`: the server hung up or said BYE (rather than said something wrong); while
    // watching, that may be a restart that heals.
    void Fail(const QString& message, bool serverLeft = false);
    void Finish();
    void CloseTransport();
    void Leave();

    QTimer tmrTimeout;
    QTimer tmrRefresh;
    QTimer tmrChatter; // the window in which ChatterLimit lines are allowed
    const TransportFactory& makeTransport_;
    Transport* transport_ = nullptr;

    int stage_ = 0;
    Step step_ = Step::Greeting;
    CheckRequest request_;
    CheckResult result_;
    qint64 checkIntervalMs_ = 0;
    bool running_ = false;
    Security security_ = Security::None;
    QString folder_;
    bool preauth_ = false;
    bool tlsPending_ = false; // STARTTLS accepted: TLS begins once this arrival has ended
    QSet<QByteArray> capabilities_;
    std::optional<BearerMechanism> mechanism_; // a bearer sign-in in progress
    QString bearerStatus_;                     // what its error challenge said

    QByteArray response_; // the response being gathered
    bool inLiteral_ = false;
    qint64 literalLeft_ = 0;
    QList<QByteArray> parts_; // what the command in progress still has to send
    QByteArray tag_;
    int tagNumber_ = 0;
    QByteArray statusLine_;
    bool searching_ = false; // the count is a SEARCH in the selected folder
    const Clock* clock_ = nullptr;
    qint64 heardAt_ = 0; // Clock::Stamp of IDLE's start or the last keep-alive
    qint64 spacing_ = 0; // between the last two of those; 0: none seen yet
    int keepAlives_ = 0;
    bool heardKeepAlive_ = false; // heardAt_ is a keep-alive's, not IDLE's start
    bool watch_ = false;
    bool idling_ = false;        // the server has said it idles
    bool doneOwed_ = false;      // IDLE sent, its DONE not yet
    bool refreshWanted_ = false; // a refresh asked for before the IDLE began
    bool leaving_ = false;       // logged out: only the reply to LOGOUT is awaited
    int chatter_ = 0;            // untagged lines that changed nothing, this window
    qint64 chatterSince_ = 0;    // Clock::Stamp of the window's first, with a clock
    QByteArray uidValidity_;     // the open folder's
    ServerCount count_;          // the count being made, until its headers are in
    QMap<quint32, MessageSummary> fetched_;
    QList<quint32> fetching_; // newest first
    QStringList markRead_;
};
