#pragma once

#include "CheckSession.h"
#include "Sasl.h"

#include <QSet>
#include <QTimer>
#include <optional>

class Transport;

// The POP3 conversation with one user's server over the program's one POP3 connection:
// greeting, [STLS,] USER, PASS, STAT, QUIT; with an access token, greeting, [STLS,] CAPA,
// AUTH OAUTHBEARER (where listed, else XOAUTH2), STAT, QUIT. Listing (and the mailbox not
// empty), UIDL follows STAT, then TOP n 0 for each message the request does not know, newest
// first; a server that refuses UIDL is counted as before. Multi-line replies are read to their
// end, bounded. Every event (a reply line, a socket failure, the reply time-out) goes through
// `NextCheck`, which advances the session by one step. A command goes out only once the reply
// to the one before it (or the greeting) is in; the reply is the first line that arrives after
// it, and any other line answers no command and is dropped.
class Pop3Session final : public CheckSession {
    Q_OBJECT
public:
    static constexpr int TimeoutMs = 60000;
    // The most identities a UIDL listing is read for; a longer one is counted only.
    static constexpr qsizetype ListLimit = 100000;
    // A multi-line reply longer than this ends the check as a hostile reply.
    static constexpr qsizetype MultiLineLimit = 16 * 1024 * 1024;

    Pop3Session(Transport& transport, quint16 plainPort, QObject* parent = nullptr);

    void Begin(const CheckRequest& request) override;
    int Stage() const override { return stage_; }
    void Close() override;
    void SetTimeoutInterval(int ms) override { tmrTimeout.setInterval(ms); }

    QTimer tmrTimeout;

private:
    // Advances the session by one step with `Reply`, a reply line with its line end, or
    // "-ERR " and a description of a failure.
    void NextCheck(const QString& Reply);
    // One step for a "+OK" reply; returns a replacement reply when the step failed.
    std::optional<QString> DoStep(const QString& Reply, bool& raiseStage);
    std::optional<QString> SendCommand(const char* word, const QString& argument,
                                       const QString& fieldName);
    std::optional<QString> EvaluateStat(const QString& Reply, bool& raiseStage);
    std::optional<QString> EvaluateUidl(bool& raiseStage);
    std::optional<QString> EvaluateTop(bool& raiseStage);
    // The next TOP, or the count handed on and QUIT.
    std::optional<QString> FetchNextOrQuit(bool& raiseStage);
    void SendMultiLine(const QByteArray& command);
    // A line of a multi-line reply's body, without its line end.
    void OnBodyLine(const QByteArray& line);
    void DoError(const QString& ErrMsg);
    void SendLine(const QByteArray& bytes);
    void OnLine(const QByteArray& line);
    void OnEncrypted();
    // The bearer sign-in's own lines (CAPA's list, challenges); true when `line` was one.
    bool OnBearerLine(const QByteArray& line);
    std::optional<QString> SendAuth();

    Transport& transport_;
    quint16 plainPort_;

    int stage_ = 0;
    CheckRequest request_;
    CheckResult result_;
    bool running_ = false;
    bool ended_ = false;         // the session ended in this step
    bool awaitingReply_ = false; // a command (or the greeting) has no reply yet
    bool arrivalTaken_ = false;  // a line of the current arrival was taken as a reply
    // The security of the connection being checked; for STLS, how far it has got. All of
    // it happens while the greeting's stage (1) lasts.
    Security security_ = Security::None;
    enum class Stls { Off, Greeting, AwaitReply, Handshake, Done };
    Stls stls_ = Stls::Off;
    // The bearer sign-in, all of it in the greeting's stage until AUTH is answered (stage 3,
    // as PASS is).
    enum class Bearer { Off, Capa, CapaSent, CapaLines, CapaDone, Auth };
    Bearer bearer_ = Bearer::Off;
    QSet<QByteArray> mechanisms_; // SASL mechanisms that CAPA listed
    std::optional<BearerMechanism> mechanism_;
    QByteArray initialPending_; // the initial response, when it waits for the empty challenge
    QString bearerStatus_;      // what the error challenge said

    // Within STAT's stage (4): the listing's steps, and the multi-line reply being read.
    enum class Listing { Off, Uidl, Top };
    Listing listing_ = Listing::Off;
    enum class Multi { Off, Status, Body };
    Multi multi_ = Multi::Off;
    bool multiRefused_ = false; // the multi-line command was answered -ERR
    QList<QByteArray> body_;
    qsizetype bodyBytes_ = 0;   // kept of the body
    qsizetype bodyTotal_ = 0;   // read of the body
    bool bodyOverflow_ = false; // more lines than kept
    ServerCount count_;
    QList<std::pair<int, QString>> toFetch_; // message numbers and identities, newest first
};
