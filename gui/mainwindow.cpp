// The station's window. Everything that touches the segment runs in the worker's thread; the
// window only shows what it reports and asks it to act.
#include "mainwindow.h"

#include "link.h"
#include "rounds.h"
#include "worker.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QCoreApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressDialog>
#include <QPushButton>
#include <QSaveFile>
#include <QSortFilterProxyModel>
#include <QSplitter>
#include <QStatusBar>
#include <QTableView>
#include <QTime>
#include <QToolBar>
#include <QVBoxLayout>

namespace {

QString boardName(const BoardInfo &b) {
    return QStringLiteral("%1 (product %2, HardId %3, %4)")
        .arg(shownValue(b.device), shownValue(b.product), shownValue(b.hardId),
             b.sharedAddress() ? QStringLiteral("at the shared address")
                               : QStringLiteral("address ") + boardAddressText(b));
}

QString shownTime(const QDateTime &t) {
    return t.isValid() ? t.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                       : QStringLiteral("-");
}

bool writeFileAtomically(const QString &path, const QByteArray &bytes, QString *error) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        *error = QStringLiteral("%1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

} // namespace

MainWindow::MainWindow(const WindowOptions &options, QWidget *parent)
    : QMainWindow(parent), options_(options) {
    qRegisterMetaType<RoundReport>();
    qRegisterMetaType<QList<HistoryBoard>>();
    confirm_ = [this](const QString &title, const QString &text) {
        return QMessageBox::question(this, title, text, QMessageBox::Yes | QMessageBox::Cancel,
                                     QMessageBox::Cancel) == QMessageBox::Yes;
    };
    model_ = new BoardTableModel(this);
    buildUi();

    worker_ = new StationWorker(options.keepHistory, options.intervalMs, options.keys);
    worker_->moveToThread(&thread_);
    connect(worker_, &StationWorker::opened, this, &MainWindow::onOpened);
    connect(worker_, &StationWorker::lastLook, model_, &BoardTableModel::reset);
    connect(worker_, &StationWorker::roundDone, this, &MainWindow::onRound);
    connect(worker_, &StationWorker::linkChanged, this, &MainWindow::onLinkChanged);
    connect(worker_, &StationWorker::historyProblem, this, [this](const QString &message) {
        historyProblem_ = message;
        onActivity(message);
        updateStatus();
    });
    connect(worker_, &StationWorker::activity, this, &MainWindow::onActivity);
    connect(worker_, &StationWorker::busy, this, &MainWindow::onBusy);
    connect(worker_, &StationWorker::resetProgress, this, &MainWindow::onResetProgress);
    connect(worker_, &StationWorker::resetWaitDone, this, &MainWindow::onResetWaitDone);
    connect(worker_, &StationWorker::boardReset, model_, &BoardTableModel::setReset);
    thread_.setObjectName(QStringLiteral("station link"));
    thread_.start();

    fillInterfaces();
    if (!options.interface.isEmpty()) {
        useInterface(options.interface);
    } else if (interfaces_->count() > 0) {
        useInterface(interfaces_->itemText(0));
    } else {
        showProblem(QStringLiteral("No interface is up, not loopback and Ethernet: plug the "
                                   "station into the boards' segment and bring it up."));
    }
}

MainWindow::~MainWindow() {
    worker_->cancel = true;
    QMetaObject::invokeMethod(worker_, &StationWorker::shutdown, Qt::BlockingQueuedConnection);
    thread_.quit();
    thread_.wait();
    delete worker_;
}

void MainWindow::buildUi() {
    setWindowTitle(QStringLiteral("l2station"));
    auto *toolbar = addToolBar(QStringLiteral("Boards"));
    toolbar->setMovable(false);
    toolbar->addWidget(new QLabel(QStringLiteral(" Interface: "), this));
    interfaces_ = new QComboBox(this);
    interfaces_->setMinimumContentsLength(10);
    interfaces_->setToolTip(QStringLiteral("The station's interface on the boards' segment"));
    toolbar->addWidget(interfaces_);
    connect(interfaces_, QOverload<int>::of(&QComboBox::activated), this,
            [this](int i) { useInterface(interfaces_->itemText(i)); });
    toolbar->addSeparator();
    details_ = toolbar->addAction(QStringLiteral("Details"), this, &MainWindow::showDetails);
    ping_ = toolbar->addAction(QStringLiteral("Ping"), this, &MainWindow::pingSelected);
    reset_ = toolbar->addAction(QStringLiteral("Reset…"), this, &MainWindow::resetSelected);
    resetWait_ = toolbar->addAction(QStringLiteral("Reset and wait…"), this,
                                    &MainWindow::resetAndWaitSelected);
    toolbar->addSeparator();
    resetAll_ = toolbar->addAction(QStringLiteral("Reset all…"), this, &MainWindow::resetAll);
    toolbar->addSeparator();
    QAction *copy = toolbar->addAction(QStringLiteral("Copy"), this, &MainWindow::copySelection);
    copy->setShortcut(QKeySequence::Copy);
    copy->setToolTip(QStringLiteral("Copy the selected rows (all when none is selected)"));
    auto *exportMenu = new QMenu(this);
    exportMenu->addAction(QStringLiteral("CSV…"), this, [this] { exportAs(false); });
    exportMenu->addAction(QStringLiteral("JSON…"), this, [this] { exportAs(true); });
    QAction *exportAction = toolbar->addAction(QStringLiteral("Export"));
    exportAction->setMenu(exportMenu);
    connect(exportAction, &QAction::triggered, this, [this] { exportAs(false); });
    details_->setToolTip(QStringLiteral("The whole reply of the selected board"));
    ping_->setToolTip(QStringLiteral("Four echo round trips to the selected board"));
    reset_->setToolTip(QStringLiteral("Make the selected board run its reset script"));
    resetWait_->setToolTip(
        QStringLiteral("Reset the selected board and follow it until it is back"));
    resetAll_->setToolTip(QStringLiteral("Make every board on the segment run its reset script"));

    auto *central = new QWidget(this);
    auto *layout = new QVBoxLayout(central);
    layout->setContentsMargins(6, 6, 6, 6);
    problemBanner_ = new QLabel(central);
    problemBanner_->setWordWrap(true);
    problemBanner_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    problemBanner_->setStyleSheet(QStringLiteral("QLabel { background: #fde2e1; color: #5c0b08; "
                                                 "border: 1px solid #e0a4a0; padding: 6px; }"));
    retry_ = new QPushButton(QStringLiteral("Try again"), central);
    connect(retry_, &QPushButton::clicked, this, [this] { useInterface(interface_); });
    auto *problemRow = new QHBoxLayout;
    problemRow->addWidget(problemBanner_, 1);
    problemRow->addWidget(retry_, 0, Qt::AlignTop);
    layout->addLayout(problemRow);
    problemBanner_->hide();
    retry_->hide();
    switchBanner_ = new QLabel(central);
    switchBanner_->setWordWrap(true);
    switchBanner_->setStyleSheet(QStringLiteral("QLabel { background: #fff3bf; color: #4d3800; "
                                                "border: 1px solid #e6cf73; padding: 6px; }"));
    switchBanner_->hide();
    layout->addWidget(switchBanner_);

    filter_ = new QLineEdit(central);
    filter_->setPlaceholderText(
        QStringLiteral("Filter: any part of a device, version, product, HardId, address or state"));
    filter_->setClearButtonEnabled(true);
    auto *focusFilter = new QAction(this);
    focusFilter->setShortcut(QKeySequence::Find);
    connect(focusFilter, &QAction::triggered, filter_, [this] { filter_->setFocus(); });
    addAction(focusFilter);
    layout->addWidget(filter_);

    proxy_ = new QSortFilterProxyModel(this);
    proxy_->setSourceModel(model_);
    proxy_->setSortRole(BoardTableModel::SortRole);
    proxy_->setFilterKeyColumn(-1);
    proxy_->setFilterCaseSensitivity(Qt::CaseInsensitive);
    connect(filter_, &QLineEdit::textChanged, proxy_, &QSortFilterProxyModel::setFilterFixedString);

    table_ = new QTableView(central);
    table_->setModel(proxy_);
    table_->setSortingEnabled(true);
    table_->sortByColumn(BoardTableModel::Device, Qt::AscendingOrder);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    table_->setAlternatingRowColors(true);
    table_->setWordWrap(false);
    table_->verticalHeader()->hide();
    table_->horizontalHeader()->setStretchLastSection(true);
    table_->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    table_->setContextMenuPolicy(Qt::ActionsContextMenu);
    table_->addActions({details_, ping_, reset_, resetWait_});
    connect(table_, &QTableView::doubleClicked, this, &MainWindow::showDetails);
    connect(table_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &MainWindow::updateActions);

    log_ = new QPlainTextEdit(central);
    log_->setReadOnly(true);
    log_->setMaximumBlockCount(2000);
    log_->setPlaceholderText(QStringLiteral("What was done, and what came of it"));
    auto *split = new QSplitter(Qt::Vertical, central);
    split->addWidget(table_);
    split->addWidget(log_);
    split->setStretchFactor(0, 4);
    split->setStretchFactor(1, 1);
    layout->addWidget(split, 1);
    setCentralWidget(central);

    status_ = new QLabel(this);
    statusBar()->addWidget(status_, 1);
    resize(1180, 560);
    updateActions();
}

void MainWindow::fillInterfaces() {
    interfaces_->clear();
    QStringList names = segmentCandidates(listInterfaces());
    if (!options_.interface.isEmpty() && !names.contains(options_.interface)) {
        names.prepend(options_.interface);
    }
    interfaces_->addItems(names);
}

void MainWindow::useInterface(const QString &interface) {
    interface_ = interface;
    const int i = interfaces_->findText(interface);
    if (i >= 0) {
        interfaces_->setCurrentIndex(i);
    }
    opened_ = false;
    rounds_ = 0;
    switchBanner_->hide();
    problemBanner_->hide();
    retry_->hide();
    worker_->cancel = true; // whatever runs on the old interface ends
    QMetaObject::invokeMethod(
        worker_, [w = worker_, interface] { w->start(interface); }, Qt::QueuedConnection);
    updateStatus();
    updateActions();
}

void MainWindow::onOpened(const QString &interface, int status, const QString &message) {
    if (interface != interface_) {
        return;
    }
    opened_ = status == ExitOk;
    if (status == ExitNoPermission) {
        const QString program = QCoreApplication::applicationFilePath();
        showProblem(
            QStringLiteral("This window may not send and capture frames on %1: it needs the "
                           "CAP_NET_RAW capability. Give it once, as root:\n"
                           "    sudo setcap cap_net_raw+ep %2\n"
                           "then start it again as yourself (or start it as root).\n(%3)")
                .arg(interface, program, message));
    } else if (status != ExitOk) {
        showProblem(message);
    } else {
        onActivity(QStringLiteral("watching %1, a round every %2 s")
                       .arg(interface)
                       .arg(options_.intervalMs / 1000.0));
    }
    updateStatus();
    updateActions();
}

void MainWindow::showProblem(const QString &text) {
    problemBanner_->setText(text);
    problemBanner_->show();
    retry_->setVisible(!interface_.isEmpty());
}

void MainWindow::onRound(const RoundReport &report) {
    ++rounds_;
    lastRound_ = report.at;
    model_->applyRound(report);
    if (report.sharedReplies > 0) {
        switchBanner_->setText(sharedAddressWarning(QStringLiteral("Boards answer")));
        switchBanner_->show();
    }
    for (const QString &problem : report.problems) {
        onActivity(problem);
    }
    for (const WatchEvent &e : report.events) {
        static const char *const kKinds[] = {"appeared", "changed", "gone"};
        QString line = boardName(e.board) + QLatin1Char(' ') + QLatin1String(kKinds[e.kind]);
        if (e.kind == WatchEvent::Changed) {
            QStringList what;
            for (const QString &field : changedFields(e.before, e.board)) {
                what.append(fieldChangeText(field, e.before, e.board));
            }
            line += QStringLiteral(": ") + what.join(QStringLiteral("; "));
        }
        onActivity(line);
    }
    updateStatus();
    updateActions();
}

void MainWindow::onLinkChanged(bool up, const QString &why) {
    if (up) {
        problemBanner_->hide();
        retry_->hide();
        onActivity(QStringLiteral("link %1 up again").arg(interface_));
    } else {
        showProblem(QStringLiteral("The station's own link is down: %1. The boards are shown as "
                                   "last seen; the window goes on once the link is back.")
                        .arg(why));
        retry_->hide();
        onActivity(QStringLiteral("link %1 down: %2").arg(interface_, why));
    }
}

void MainWindow::onActivity(const QString &line) {
    log_->appendPlainText(QTime::currentTime().toString(QStringLiteral("HH:mm:ss  ")) + line);
}

QString MainWindow::activityLog() const {
    return log_->toPlainText();
}

QString MainWindow::bannerText() const {
    QStringList texts;
    if (!problemBanner_->isHidden()) {
        texts.append(problemBanner_->text());
    }
    if (!switchBanner_->isHidden()) {
        texts.append(switchBanner_->text());
    }
    return texts.join(QLatin1Char('\n'));
}

void MainWindow::onBusy(bool busy) {
    busy_ = busy;
    updateActions();
    updateStatus();
}

void MainWindow::updateStatus() {
    QString text;
    if (interface_.isEmpty()) {
        text = QStringLiteral("No interface");
    } else if (!opened_) {
        text = QStringLiteral("%1: not watching").arg(interface_);
    } else if (rounds_ == 0) {
        text = QStringLiteral("%1: asking the segment…").arg(interface_);
    } else {
        int present = 0;
        int gone = 0;
        for (int r = 0; r < model_->rowCount(); ++r) {
            const WindowBoard &b = model_->boardAt(r);
            present += b.state == WindowBoard::Present || b.state == WindowBoard::Changed ? 1 : 0;
            gone += b.state == WindowBoard::Gone ? 1 : 0;
        }
        text = QStringLiteral("%1: %2 board%3 present, %4 gone; last round %5")
                   .arg(interface_)
                   .arg(present)
                   .arg(present == 1 ? QString() : QStringLiteral("s"))
                   .arg(gone)
                   .arg(lastRound_.toLocalTime().toString(QStringLiteral("HH:mm:ss")));
    }
    if (busy_) {
        text += QStringLiteral(" · working…");
    }
    text += historyProblem_.isEmpty() ? QString()
            : options_.keepHistory    ? QStringLiteral(" · history: see the log")
                                      : QString();
    status_->setText(text);
}

void MainWindow::updateActions() {
    const bool one = opened_ && !busy_ && table_->selectionModel()->selectedRows().size() == 1;
    details_->setEnabled(table_->selectionModel()->selectedRows().size() == 1);
    ping_->setEnabled(one);
    reset_->setEnabled(one);
    resetWait_->setEnabled(one);
    resetAll_->setEnabled(opened_ && !busy_);
}

bool MainWindow::selectedBoard(WindowBoard *board) const {
    const QModelIndexList rows = table_->selectionModel()->selectedRows();
    if (rows.size() != 1) {
        return false;
    }
    *board = model_->boardAt(proxy_->mapToSource(rows.first()).row());
    return true;
}

bool MainWindow::selectBoard(const QString &key) {
    const int row = model_->rowOf(key);
    if (row < 0) {
        return false;
    }
    const QModelIndex shown = proxy_->mapFromSource(model_->index(row, 0));
    if (!shown.isValid()) {
        return false;
    }
    table_->selectionModel()->select(shown, QItemSelectionModel::ClearAndSelect |
                                                QItemSelectionModel::Rows);
    table_->setCurrentIndex(shown);
    return true;
}

void MainWindow::showDetails() {
    WindowBoard b;
    if (!selectedBoard(&b)) {
        return;
    }
    QStringList lines;
    lines << QStringLiteral("Device:     %1").arg(shownValue(b.board.device))
          << QStringLiteral("Version:    %1").arg(shownValue(b.board.version))
          << QStringLiteral("Product:    %1").arg(shownValue(b.board.product))
          << QStringLiteral("HardId:     %1").arg(shownValue(b.board.hardId))
          << QStringLiteral("IPv4:       %1")
                 .arg(shownValue(b.board.ipAddresses.join(QStringLiteral(", "))))
          << QStringLiteral("Address:    %1").arg(boardAddressText(b.board))
          << QStringLiteral("Reply:      %1 ms").arg(b.board.replyMs, 0, 'f', 1)
          << QStringLiteral("First seen: %1").arg(shownTime(b.firstSeen))
          << QStringLiteral("Last seen:  %1").arg(shownTime(b.lastSeen))
          << QStringLiteral("State:      %1").arg(stateText(b.state));
    for (const QString &field : b.changed) {
        lines << QStringLiteral("Changed:    %1").arg(fieldChangeText(field, b.before, b.board));
    }
    lines << QString() << QStringLiteral("The reply as it came (escaped as l2station shows it):");
    // Line by line, each escaped: a board's text never reaches the screen raw.
    for (const QByteArray &line : b.board.reply.split('\n')) {
        lines << QStringLiteral("  ") + printableText(QString::fromLatin1(line));
    }
    auto *dialog = new QDialog(this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setObjectName(QStringLiteral("details"));
    dialog->setWindowTitle(QStringLiteral("Board %1").arg(shownValue(b.board.device)));
    auto *layout = new QVBoxLayout(dialog);
    auto *text = new QPlainTextEdit(lines.join(QLatin1Char('\n')), dialog);
    text->setReadOnly(true);
    text->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    text->setMinimumSize(600, 440);
    layout->addWidget(text);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, dialog);
    connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::close);
    layout->addWidget(buttons);
    dialog->show();
}

void MainWindow::pingSelected() {
    WindowBoard b;
    if (!selectedBoard(&b) || busy_) {
        return;
    }
    onActivity(QStringLiteral("ping %1…").arg(boardName(b.board)));
    QMetaObject::invokeMethod(
        worker_, [w = worker_, board = b.board] { w->ping(board); }, Qt::QueuedConnection);
}

bool MainWindow::confirmReset(const WindowBoard &b, bool wait) {
    QString text = QStringLiteral("Reset %1 on %2%3?\n\nIts reset script runs now.")
                       .arg(boardName(b.board), interface_,
                            wait ? QStringLiteral(" and wait until it is back") : QString());
    if (b.board.sharedAddress()) {
        text += QStringLiteral("\n\nThis board answers from the shared address: every board at "
                               "that address that the request reaches runs its reset script, "
                               "not this one alone.");
    }
    return confirm_(
        wait ? QStringLiteral("Reset a board and wait") : QStringLiteral("Reset a board"), text);
}

void MainWindow::resetSelected() {
    WindowBoard b;
    if (!selectedBoard(&b) || busy_ || !confirmReset(b, false)) {
        return;
    }
    onActivity(QStringLiteral("reset %1…").arg(boardName(b.board)));
    QMetaObject::invokeMethod(
        worker_, [w = worker_, board = b.board] { w->reset(board); }, Qt::QueuedConnection);
}

void MainWindow::resetAndWaitSelected() {
    WindowBoard b;
    if (!selectedBoard(&b) || busy_ || !confirmReset(b, true)) {
        return;
    }
    onActivity(QStringLiteral("reset and wait %1…").arg(boardName(b.board)));
    progress_ = new QProgressDialog(QStringLiteral("Asking who answers before the reset…"),
                                    QStringLiteral("Cancel"), 0, 1, this);
    progress_->setObjectName(QStringLiteral("resetProgress"));
    progress_->setWindowTitle(QStringLiteral("Reset %1").arg(shownValue(b.board.device)));
    progress_->setWindowModality(Qt::WindowModal);
    progress_->setMinimumDuration(0);
    progress_->setAutoClose(false);
    progress_->setAutoReset(false);
    progress_->setMinimumWidth(520);
    progress_->setValue(0);
    connect(progress_, &QProgressDialog::canceled, this, [this] { worker_->cancel = true; });
    progress_->show();
    QMetaObject::invokeMethod(
        worker_, [w = worker_, board = b.board] { w->resetAndWait(board); }, Qt::QueuedConnection);
}

void MainWindow::onResetProgress(const QString &line, int back, int total) {
    if (progress_ != nullptr) {
        progress_->setMaximum(std::max(1, total));
        progress_->setValue(back);
        progress_->setLabelText(line);
    }
}

void MainWindow::onResetWaitDone(bool ok) {
    Q_UNUSED(ok)
    if (progress_ != nullptr) {
        progress_->deleteLater();
        progress_ = nullptr;
    }
}

void MainWindow::resetAll() {
    if (!opened_ || busy_) {
        return;
    }
    const int n = model_->presentCount();
    const QString text =
        QStringLiteral("Reset all %1 board%2 on %3?\n\nEvery board on the segment that receives "
                       "the request runs its reset script now%4.")
            .arg(n)
            .arg(n == 1 ? QString() : QStringLiteral("s"))
            .arg(interface_)
            .arg(n == 0 ? QStringLiteral(", though none answers now") : QString());
    if (!confirm_(QStringLiteral("Reset all boards"), text)) {
        return;
    }
    onActivity(QStringLiteral("reset all %1 boards on %2…").arg(n).arg(interface_));
    QMetaObject::invokeMethod(
        worker_, [w = worker_] { w->resetAll(); }, Qt::QueuedConnection);
}

QList<int> MainWindow::shownRows() const {
    QList<int> rows;
    for (int r = 0; r < proxy_->rowCount(); ++r) {
        rows.append(r);
    }
    return rows;
}

void MainWindow::copySelection() {
    QList<int> rows;
    for (const QModelIndex &index : table_->selectionModel()->selectedRows()) {
        rows.append(index.row());
    }
    std::sort(rows.begin(), rows.end());
    QApplication::clipboard()->setText(tableText(*proxy_, rows));
}

bool MainWindow::exportCsv(const QString &path, QString *error) {
    return writeFileAtomically(path, tableCsv(*proxy_), error);
}

bool MainWindow::exportJson(const QString &path, QString *error) {
    QList<int> rows;
    for (int r : shownRows()) {
        rows.append(proxy_->mapToSource(proxy_->index(r, 0)).row());
    }
    return writeFileAtomically(path, boardsJsonExport(*model_, rows), error);
}

void MainWindow::exportAs(bool json) {
    const QString name =
        QStringLiteral("boards-%1-%2.%3")
            .arg(interface_,
                 QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")))
            .arg(json ? QStringLiteral("json") : QStringLiteral("csv"));
    const QString path = QFileDialog::getSaveFileName(
        this, json ? QStringLiteral("Export as JSON") : QStringLiteral("Export as CSV"), name,
        json ? QStringLiteral("JSON (*.json)") : QStringLiteral("CSV (*.csv)"));
    if (path.isEmpty()) {
        return;
    }
    QString error;
    if (json ? exportJson(path, &error) : exportCsv(path, &error)) {
        onActivity(QStringLiteral("exported %1 rows to %2").arg(proxy_->rowCount()).arg(path));
    } else {
        QMessageBox::warning(this, QStringLiteral("Export"), error);
    }
}
