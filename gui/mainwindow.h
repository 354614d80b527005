// The station's window: an interface picker, the live table of boards with filters, banners
// that say what is wrong, per-board and whole-segment actions that never block it, copy and
// export, and a log of what was done.
#pragma once

#include "boardmodel.h"

#include <QMainWindow>
#include <QThread>

#include <functional>

class BoardProxy;
class QAction;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QSplitter;
class QTableView;
class ResetJob;
struct ResetOrder;
class StationWorker;

struct WindowOptions {
    QString interface; // empty: the first that could be the boards' segment
    int intervalMs = 2000;
    bool keepHistory = true;
    QString historyAt;     // --history: a file or a postgresql:// URI (empty: the default)
    QString stationName;   // --station-name (empty: the host name)
    QList<keys::Key> keys; // --key-file: proven resets, and boards marked verified or not
    int resetWaitMs = kDefaultResetWaitMs;
};

class MainWindow : public QMainWindow {
    Q_OBJECT
  public:
    explicit MainWindow(const WindowOptions &options, QWidget *parent = nullptr);
    ~MainWindow() override;

    // Asks the technician before a reset; replaceable (tests answer for them).
    using Confirm = std::function<bool(const QString &title, const QString &text)>;
    void setConfirm(Confirm confirm) {
        confirm_ = std::move(confirm);
    }

    const BoardTableModel &boards() const {
        return *model_;
    }
    BoardProxy *shownBoards() const {
        return proxy_;
    }
    QTableView *table() const {
        return table_;
    }
    QLineEdit *filter() const {
        return filter_;
    }
    QComboBox *stateFilter() const {
        return states_;
    }
    QString activityLog() const;
    QString bannerText() const;
    QString statusText() const;
    QString interface() const {
        return interface_;
    }
    int rounds() const {
        return rounds_;
    }
    bool working() const {
        return busy_;
    }
    // Resets that still run (sending, or waiting for their boards).
    int resetsRunning() const {
        return jobs_.size();
    }
    // The window's actions by name (details, ping, reset, resetWait, resetAll, resetAllWait,
    // stopWaits, copy, exportCsv, exportJson), for the keyboard table and the tests.
    QAction *action(const QString &name) const;

    // The table as shown (filtered and sorted) to a file; false with *error on failure.
    bool exportCsv(const QString &path, QString *error);
    bool exportJson(const QString &path, QString *error);
    // Selects the row of the board with this boardKey.
    bool selectBoard(const QString &key);

  public slots:
    void useInterface(const QString &interface);
    void showDetails();
    void pingSelected();
    void resetSelected();
    void resetAndWaitSelected();
    void resetAll();
    void resetAllAndWait();
    void stopWaits();
    void copySelection();

  protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

  private slots:
    void onOpened(const QString &interface, int status, const QString &message);
    void onRound(const RoundReport &report);
    void onLinkChanged(bool up, const QString &why);
    void onActivity(const QString &line);
    void onBusy(bool busy);
    void updateActions();

  private:
    void buildUi();
    void fillInterfaces();
    void restoreLayout();
    void saveLayout();
    // Fits the window to the screen it opens on.
    void fitScreen();
    // Sizes the columns to their contents, within the table's width where they can be.
    void fitColumns();
    // The boards of the selected rows, in the shown order.
    QList<WindowBoard> selectedBoards() const;
    bool selectedBoard(WindowBoard *board) const;
    QList<int> shownRows() const;
    void showProblem(const QString &text);
    void updateBanners();
    void exportAs(bool json);
    void updateStatus();
    // Reset all, with a wait or without: the confirmation, then the job.
    void resetEveryBoard(bool wait);
    // Starts a reset (the rows' boards are held by the rounds while it runs).
    void startReset(const ResetOrder &order, const QStringList &keys);
    // Why nothing can be sent now, or empty.
    QString cannotSend() const;

    WindowOptions options_;
    Confirm confirm_;
    QString interface_;
    QThread thread_;
    StationWorker *worker_ = nullptr;
    BoardTableModel *model_ = nullptr;
    BoardProxy *proxy_ = nullptr;
    QTableView *table_ = nullptr;
    QLineEdit *filter_ = nullptr;
    QComboBox *states_ = nullptr;
    QComboBox *interfaces_ = nullptr;
    QSplitter *split_ = nullptr;
    QLabel *switchBanner_ = nullptr;
    QLabel *problemBanner_ = nullptr;
    QLabel *historyBanner_ = nullptr;
    QLabel *hintBanner_ = nullptr;
    QPushButton *retry_ = nullptr;
    QPlainTextEdit *log_ = nullptr;
    QLabel *status_ = nullptr;
    QHash<QString, QAction *> actions_;
    QList<ResetJob *> jobs_;
    bool busy_ = false;
    bool opened_ = false;
    bool linkUp_ = true;
    QString linkWhy_;
    bool columnsFitted_ = false;  // sized by the technician (or remembered): left alone
    bool fittingColumns_ = false; // the window itself is sizing them
    int rounds_ = 0;
    bool prunedTold_ = false;
    QDateTime lastRound_;
    QString historyProblem_;
};
