// Where a history is kept: an SQLite file of the user's, or a PostgreSQL database that many
// stations share. HistoryStore writes its SQL once; an engine opens the connection, keeps its
// schema version, and spells the few things the two say differently.
#pragma once

#include <QSqlDatabase>
#include <QSqlError>
#include <QString>
#include <QStringList>

#include <memory>

// What --history or L2STATION_HISTORY names.
struct HistoryLocation {
    enum class Kind { File, Server };
    Kind kind = Kind::File;
    QString path; // a file: its path; a server: the libpq connection URI as given
    // How messages name it: a URI with any password in it replaced by "***" (the store
    // refuses such a URI, but still names it).
    QString shown() const;
    // A postgresql:// or postgres:// URI is a server; anything else a file.
    static HistoryLocation parse(const QString &text);
    // L2STATION_HISTORY, else the user's own file.
    static QString defaultText();
};

class HistoryEngine {
  public:
    enum class Access { Write, Read };

    virtual ~HistoryEngine() = default;
    // An engine for `location`, its connection under the name `connection`.
    static std::unique_ptr<HistoryEngine> make(const HistoryLocation &location,
                                               const QString &connection, int busyTimeoutMs);

    // Opens the connection. A history this user may read but not write is opened to be read,
    // with *readOnlyReason saying why. Refusals and failures leave *error, naming the history.
    virtual bool open(Access access, QString *readOnlyReason, QString *error) = 0;
    // Whether the last open failed only because the server could not be reached: trying again
    // later may succeed.
    virtual bool unreachable() const = 0;
    // Whether the connection is gone (the server went away): it must be opened again.
    virtual bool lost() const = 0;
    virtual void close();
    QSqlDatabase db() const;

    // The schema version the history holds (0: none), and the tables in its namespace.
    virtual int schemaVersion(QString *error) = 0;
    virtual bool setSchemaVersion(int version, QString *error) = 0;
    virtual QStringList tables() = 0;
    // Tables only this engine keeps for itself, which are not somebody else's data.
    virtual bool ownTable(const QString &name) const = 0;
    // Begins a write transaction that waits for other writers, and with `migration` also keeps
    // every other station's migration out until it ends.
    virtual bool beginWrite(bool migration, QSqlError *failure) = 0;
    // After the schema is current: what the connection needs for writing.
    virtual void ready() {}
    // Another writer held the history past the time-out (an SQLite file).
    virtual bool busy(const QSqlError &e) const = 0;
    // The bytes the history takes.
    virtual qint64 bytes() = 0;
    // The statement with {id}, {int}, {blob}, {least}, {greatest} and {all} spelt as this
    // engine spells them (spellings()).
    QString sql(QString statement) const;
    virtual bool server() const = 0;

    QString shown() const {
        return location_.shown();
    }

  protected:
    // A key column, a 64-bit integer, bytes, the scalar smaller and larger of two values, and
    // "no limit" before OFFSET: the words for {id}, {int}, {blob}, {least}, {greatest}, {all}.
    struct Spellings {
        const char *id, *integer, *blob, *least, *greatest, *all;
    };
    virtual Spellings spellings() const = 0;

    HistoryEngine(const HistoryLocation &location, const QString &connection)
        : location_(location), connection_(connection) {}
    HistoryLocation location_;
    QString connection_;
};
