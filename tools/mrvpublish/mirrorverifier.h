#pragma once

#include <QByteArray>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QStringList>

#include <deque>
#include <memory>

class QEventLoop;
class QNetworkAccessManager;
class QNetworkReply;

// Checks, before a version is announced, that mirrors serve it completely:
// per mirror the product ini and its signature (verified with the public
// key, and naming the version and client type when it names any), then every
// file the product ini lists, the patch list it names and every patch in
// that, each by its size (its last byte by a ranged request, or the whole
// file from a mirror that ignores ranges) or, with full, by its MD5 sum too.
// Transfers go through the updater's own network access, so a mirror is met
// as players meet it; several run at once. run() returns once every mirror is
// checked, or given up; report() then says per mirror what is missing or
// wrong. A mirror is given up at its first transfer that goes idleTimeoutMs
// without a byte, and every mirror still being checked at the deadline: its
// stall is said on standard error as "mirror X: stalled after N bytes of Y".
class MirrorVerifier : public QObject
{
    Q_OBJECT
public:
    struct Options
    {
        QString version;
        QString clientType;
        QByteArray publicKey; // DER RSAPublicKey
        QStringList mirrors; // base URLs
        bool full = false;
        int transfers = 6;
        bool showProgress = false; // a line of files checked per mirror, redrawn
        int idleTimeoutMs = 30000; // per transfer, without a byte
        QDeadlineTimer deadline {QDeadlineTimer::Forever}; // of the whole check
    };

    explicit MirrorVerifier(const Options &options, QObject *parent = nullptr);
    ~MirrorVerifier() override;

    // True when every mirror serves the release completely.
    bool run();
    // True when the deadline ended run() before every mirror was checked.
    bool timedOut() const { return m_timedOut; }
    // One line per mirror, each followed by its faults, indented.
    QStringList report() const;

private:
    enum class Kind { ProductIni, Signature, PatchList, File };
    struct Item
    {
        int mirror = 0;
        Kind kind = Kind::File;
        QString path; // below the version directory
        QString md5; // empty: not known in advance
        qint64 size = -1; // -1: not known, read up to limit
        qint64 limit = 0;
    };
    struct Transfer;
    struct Mirror
    {
        QString url; // without a trailing "/"
        QString shown; // without user and password
        QByteArray productIni;
        QByteArray signature;
        int pending = 2; // product ini and signature
        int checked = 0; // transfers finished
        int total = 2; // transfers known so far
        int files = 0;
        int patches = 0;
        QStringList faults;
        int faultCount = 0;
        bool givenUp = false; // stalled: the rest of it is not checked
    };

    void startNext();
    // Starts what the queue holds; ends run() once nothing is left.
    void next();
    void onReadyRead(Transfer *transfer);
    void onFinished(Transfer *transfer);
    void fetched(const Item &item, const QByteArray &bytes);
    void checkProductIni(Mirror &mirror, int index);
    void checkPatchList(int index, const QByteArray &bytes);
    void fault(int mirror, const QString &path, const QString &text);
    // Says where transfer stalled, a fault of its mirror, and drops every
    // other transfer of that mirror, running or queued.
    void giveUp(Transfer *transfer);
    // Gives up the mirror of every transfer idle for idleTimeoutMs.
    void checkIdle();
    // Gives up every mirror still being checked, and ends run().
    void onDeadline();
    // After a transfer of lastMirror: its line once it is complete, and at
    // most once a second the counts of every mirror still being checked.
    void showProgress(int lastMirror);

    Options m_options;
    QNetworkAccessManager *m_manager;
    QList<Mirror> m_mirrors;
    std::deque<Item> m_queue;
    QList<Transfer *> m_running;
    QElapsedTimer m_progressShown;
    bool m_progressDrawn = false; // an unfinished line on standard error
    bool m_timedOut = false;
    QEventLoop *m_loop = nullptr; // while run() waits
};
