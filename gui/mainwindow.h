// The station's window: an interface picker, the live table of boards with a filter, the
// switch banner, per-board actions, copy and export, and a log of what was done.
#pragma once

#include "boardmodel.h"

#include <QMainWindow>
#include <QThread>

#include <functional>

class QAction;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressDialog;
class QPushButton;
class QSortFilterProxyModel;
class QTableView;
class StationWorker;

struct WindowOptions {
    QString interface; // empty: the first that could be the boards' segment
    int intervalMs = 2000;
    bool keepHistory = true;
    QList<keys::Key> keys; // --key-file: proven resets, and boards marked verified or not
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
    QSortFilterProxyModel *shownBoards() const {
        return proxy_;
    }
    QTableView *table() const {
        return table_;
    }
    QLineEdit *filter() const {
        return filter_;
    }
    QString activityLog() const;
    QString bannerText() const;
    QString interface() const {
        return interface_;
    }
    int rounds() const {
        return rounds_;
    }
    bool working() const {
        return busy_;
    }

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
    void copySelection();

  private slots:
    void onOpened(const QString &interface, int status, const QString &message);
    void onRound(const RoundReport &report);
    void onLinkChanged(bool up, const QString &why);
    void onActivity(const QString &line);
    void onBusy(bool busy);
    void onResetProgress(const QString &line, int back, int total);
    void onResetWaitDone(bool ok);
    void updateActions();

  private:
    void buildUi();
    void fillInterfaces();
    // The one board the actions take: the current row's, or false when none is selected.
    bool selectedBoard(WindowBoard *board) const;
    // Asks before resetting `board` (and waiting for it): the question names the board.
    bool confirmReset(const WindowBoard &board, bool wait);
    QList<int> shownRows() const;
    void showProblem(const QString &text);
    void exportAs(bool json);
    void updateStatus();

    WindowOptions options_;
    Confirm confirm_;
    QString interface_;
    QThread thread_;
    StationWorker *worker_ = nullptr;
    BoardTableModel *model_ = nullptr;
    QSortFilterProxyModel *proxy_ = nullptr;
    QTableView *table_ = nullptr;
    QLineEdit *filter_ = nullptr;
    QComboBox *interfaces_ = nullptr;
    QLabel *switchBanner_ = nullptr;
    QLabel *problemBanner_ = nullptr;
    QPushButton *retry_ = nullptr;
    QPlainTextEdit *log_ = nullptr;
    QLabel *status_ = nullptr;
    QProgressDialog *progress_ = nullptr;
    QAction *details_ = nullptr;
    QAction *ping_ = nullptr;
    QAction *reset_ = nullptr;
    QAction *resetWait_ = nullptr;
    QAction *resetAll_ = nullptr;
    bool busy_ = false;
    bool opened_ = false;
    int rounds_ = 0;
    QDateTime lastRound_;
    QString historyProblem_;
};
