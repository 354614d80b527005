// The station's window. Everything that touches the segment runs in the worker's thread; the
// window only shows what it reports and asks it to act.
#include "mainwindow.h"

#include "boardproxy.h"
#include "link.h"
#include "resetjob.h"
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
#include <QPushButton>
#include <QSaveFile>
#include <QScreen>
#include <QSettings>
#include <QSortFilterProxyModel>
#include <QSplitter>
#include <QStatusBar>
#include <QTableView>
#include <QTime>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

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
    qRegisterMetaType<BoardInfo>();
    confirm_ = [this](const QString &title, const QString &text) {
        return QMessageBox::question(this, title, text, QMessageBox::Yes | QMessageBox::Cancel,
                                     QMessageBox::Cancel) == QMessageBox::Yes;
    };
    model_ = new BoardTableModel(this);
    buildUi();
    restoreLayout();

    worker_ = new StationWorker(options.keepHistory, options.intervalMs, options.keys);
    worker_->setHistory(options.historyAt, options.stationName);
    worker_->moveToThread(&thread_);
    connect(worker_, &StationWorker::opened, this, &MainWindow::onOpened);
    connect(worker_, &StationWorker::lastLook, model_, &BoardTableModel::reset);
    connect(worker_, &StationWorker::roundDone, this, &MainWindow::onRound);
    connect(worker_, &StationWorker::linkChanged, this, &MainWindow::onLinkChanged);
    connect(worker_, &StationWorker::historyProblem, this, [this](const QString &message) {
        if (!message.isEmpty() && message != historyProblem_) {
            onActivity(message);
        }
        historyProblem_ = message;
        updateBanners();
        updateStatus();
    });
    connect(worker_, &StationWorker::activity, this, &MainWindow::onActivity);
    connect(worker_, &StationWorker::busy, this, &MainWindow::onBusy);
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
    saveLayout();
    // Waits stopped now still tell the history how far they came, before it is closed.
    for (ResetJob *job : jobs_) {
        job->stop();
    }
    qDeleteAll(jobs_);
    jobs_.clear();
    worker_->cancel = true;
    QMetaObject::invokeMethod(worker_, &StationWorker::shutdown, Qt::BlockingQueuedConnection);
    thread_.quit();
    thread_.wait();
    delete worker_;
}

namespace {

// An action of the toolbar, with its shortcut in its tooltip.
QAction *makeAction(QWidget *owner, const QString &text, const QString &tip,
                    const QList<QKeySequence> &keys) {
    auto *action = new QAction(text, owner);
    action->setShortcuts(keys);
    QStringList shown;
    for (const QKeySequence &k : keys) {
        shown.append(k.toString(QKeySequence::NativeText));
    }
    const QString full = shown.isEmpty()
                             ? tip
                             : QStringLiteral("%1 (%2)").arg(tip, shown.join(QStringLiteral(", ")));
    action->setToolTip(full);
    action->setProperty("baseTip", full);
    owner->addAction(action);
    return action;
}

// A banner's look: its own text and background colours, readable in any palette.
QLabel *banner(QWidget *parent, const char *style) {
    auto *label = new QLabel(parent);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->setStyleSheet(QLatin1String(style));
    label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    label->hide();
    return label;
}

} // namespace

QAction *MainWindow::action(const QString &name) const {
    return actions_.value(name);
}

void MainWindow::buildUi() {
    setWindowTitle(QStringLiteral("l2station"));
    auto *toolbar = addToolBar(QStringLiteral("Boards"));
    toolbar->setObjectName(QStringLiteral("boards toolbar"));
    toolbar->setMovable(false);
    toolbar->addWidget(new QLabel(QStringLiteral(" Interface: "), this));
    interfaces_ = new QComboBox(this);
    interfaces_->setMinimumContentsLength(8);
    interfaces_->setToolTip(
        QStringLiteral("The station's interface on the boards' segment (Ctrl+L)"));
    toolbar->addWidget(interfaces_);
    connect(interfaces_, QOverload<int>::of(&QComboBox::activated), this,
            [this](int i) { useInterface(interfaces_->itemText(i)); });
    auto *focusInterfaces =
        makeAction(this, QString(), QString(), {QKeySequence(Qt::CTRL | Qt::Key_L)});
    connect(focusInterfaces, &QAction::triggered, interfaces_, [this] {
        interfaces_->setFocus();
        interfaces_->showPopup();
    });
    toolbar->addSeparator();

    const auto add = [&](const QString &name, const QString &text, const QString &tip,
                         const QList<QKeySequence> &keys, void (MainWindow::*slot)()) {
        QAction *a = makeAction(this, text, tip, keys);
        connect(a, &QAction::triggered, this, slot);
        actions_.insert(name, a);
        return a;
    };
    QAction *details = add(QStringLiteral("details"), QStringLiteral("Details"),
                           QStringLiteral("The whole reply of the selected board"),
                           {QKeySequence(Qt::Key_Return), QKeySequence(Qt::Key_Enter),
                            QKeySequence(Qt::CTRL | Qt::Key_I)},
                           &MainWindow::showDetails);
    QAction *ping = add(QStringLiteral("ping"), QStringLiteral("Ping"),
                        QStringLiteral("Four echo round trips to the selected board"),
                        {QKeySequence(Qt::CTRL | Qt::Key_P)}, &MainWindow::pingSelected);
    QAction *reset = add(QStringLiteral("reset"), QStringLiteral("Reset selected…"),
                         QStringLiteral("Make the selected boards run their reset scripts"),
                         {QKeySequence(QKeySequence::Delete)}, &MainWindow::resetSelected);
    QAction *resetWait =
        add(QStringLiteral("resetWait"), QStringLiteral("Reset and wait…"),
            QStringLiteral("Reset the selected board and follow it on its row "
                           "until it is back"),
            {QKeySequence(Qt::CTRL | Qt::Key_R)}, &MainWindow::resetAndWaitSelected);
    QAction *resetAll =
        add(QStringLiteral("resetAll"), QStringLiteral("Reset all…"),
            QStringLiteral("Make every board on the segment run its reset script, whatever the "
                           "filter shows"),
            {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Delete)}, &MainWindow::resetAll);
    QAction *resetAllWait = add(
        QStringLiteral("resetAllWait"), QStringLiteral("Reset all and wait…"),
        QStringLiteral("Reset every board on the segment and follow each on its row until it is "
                       "back"),
        {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_R)}, &MainWindow::resetAllAndWait);
    QAction *stop = add(QStringLiteral("stopWaits"), QStringLiteral("Stop waiting"),
                        QStringLiteral("Stop following the boards of every reset-and-wait"),
                        {QKeySequence(Qt::Key_Escape)}, &MainWindow::stopWaits);
    // Enter and Delete belong to the table: in the filter they edit the text.
    for (QAction *a : {details, reset}) {
        a->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    }
    toolbar->addActions({details, ping, reset, resetWait});
    toolbar->addSeparator();
    toolbar->addActions({resetAll, resetAllWait, stop});
    toolbar->addSeparator();
    QAction *copy = add(QStringLiteral("copy"), QStringLiteral("Copy"),
                        QStringLiteral("Copy the selected rows (all when none is selected)"),
                        {QKeySequence(QKeySequence::Copy)}, &MainWindow::copySelection);
    toolbar->addAction(copy);
    QAction *csv = makeAction(this, QStringLiteral("CSV…"),
                              QStringLiteral("Export the table as shown, as CSV"),
                              {QKeySequence(Qt::CTRL | Qt::Key_E)});
    connect(csv, &QAction::triggered, this, [this] { exportAs(false); });
    QAction *json = makeAction(this, QStringLiteral("JSON…"),
                               QStringLiteral("Export the table as shown, as JSON"),
                               {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_E)});
    connect(json, &QAction::triggered, this, [this] { exportAs(true); });
    actions_.insert(QStringLiteral("exportCsv"), csv);
    actions_.insert(QStringLiteral("exportJson"), json);
    auto *exportMenu = new QMenu(this);
    exportMenu->setToolTipsVisible(true);
    exportMenu->addActions({csv, json});
    QAction *exportAction = toolbar->addAction(QStringLiteral("Export"));
    exportAction->setMenu(exportMenu);
    exportAction->setToolTip(QStringLiteral("Export the table as shown: CSV (Ctrl+E) or JSON "
                                            "(Ctrl+Shift+E)"));
    // One click opens the choice: no press-and-hold.
    if (auto *button = qobject_cast<QToolButton *>(toolbar->widgetForAction(exportAction))) {
        button->setPopupMode(QToolButton::InstantPopup);
    }
    auto *quit = makeAction(this, QString(), QString(), {QKeySequence(Qt::CTRL | Qt::Key_Q)});
    connect(quit, &QAction::triggered, this, &QWidget::close);

    auto *central = new QWidget(this);
    auto *layout = new QVBoxLayout(central);
    layout->setContentsMargins(6, 6, 6, 6);
    problemBanner_ = banner(central, "QLabel { background: #fde2e1; color: #5c0b08; "
                                     "border: 1px solid #e0a4a0; padding: 6px; }");
    retry_ = new QPushButton(QStringLiteral("Try again"), central);
    connect(retry_, &QPushButton::clicked, this, [this] { useInterface(interface_); });
    auto *problemRow = new QHBoxLayout;
    problemRow->addWidget(problemBanner_, 1);
    problemRow->addWidget(retry_, 0, Qt::AlignTop);
    layout->addLayout(problemRow);
    retry_->hide();
    historyBanner_ = banner(central, "QLabel { background: #ffe8cc; color: #4d2600; "
                                     "border: 1px solid #e6a866; padding: 6px; }");
    historyBanner_->setObjectName(QStringLiteral("historyBanner"));
    layout->addWidget(historyBanner_);
    switchBanner_ = banner(central, "QLabel { background: #fff3bf; color: #4d3800; "
                                    "border: 1px solid #e6cf73; padding: 6px; }");
    layout->addWidget(switchBanner_);
    hintBanner_ = banner(central, "QLabel { background: #dbeafe; color: #0b2a5c; "
                                  "border: 1px solid #93b4e6; padding: 6px; }");
    layout->addWidget(hintBanner_);

    filter_ = new QLineEdit(central);
    filter_->setPlaceholderText(
        QStringLiteral("Filter: any part of a device, version, product, HardId, address or state "
                       "(Ctrl+F)"));
    filter_->setClearButtonEnabled(true);
    auto *focusFilter = makeAction(this, QString(), QString(), {QKeySequence::Find});
    connect(focusFilter, &QAction::triggered, filter_, [this] { filter_->setFocus(); });
    states_ = new QComboBox(central);
    states_->setToolTip(QStringLiteral("Show the boards in one state only (Ctrl+Shift+F)"));
    states_->addItem(QStringLiteral("All states"), QVariantList());
    states_->addItem(QStringLiteral("Present or changed"),
                     QVariantList{int(WindowBoard::Present), int(WindowBoard::Changed)});
    for (WindowBoard::State state :
         {WindowBoard::Changed, WindowBoard::Missing, WindowBoard::Gone}) {
        states_->addItem(stateText(state).replace(0, 1, stateText(state).at(0).toUpper()),
                         QVariantList{int(state)});
    }
    auto *focusStates =
        makeAction(this, QString(), QString(), {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_F)});
    connect(focusStates, &QAction::triggered, states_, [this] {
        states_->setFocus();
        states_->showPopup();
    });
    auto *filterRow = new QHBoxLayout;
    filterRow->addWidget(filter_, 1);
    filterRow->addWidget(states_);
    layout->addLayout(filterRow);

    proxy_ = new BoardProxy(this);
    proxy_->setSourceModel(model_);
    connect(filter_, &QLineEdit::textChanged, proxy_, &QSortFilterProxyModel::setFilterFixedString);
    connect(states_, QOverload<int>::of(&QComboBox::currentIndexChanged), this, [this](int i) {
        QList<int> states;
        for (const QVariant &v : states_->itemData(i).toList()) {
            states.append(v.toInt());
        }
        proxy_->setStates(states);
    });

    table_ = new QTableView(central);
    table_->setObjectName(QStringLiteral("boards"));
    table_->setModel(proxy_);
    table_->setSortingEnabled(true);
    table_->sortByColumn(BoardTableModel::Device, Qt::AscendingOrder);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    table_->setAlternatingRowColors(true);
    table_->setWordWrap(false);
    // The end of a HardId or an address tells boards apart: cut in the middle.
    table_->setTextElideMode(Qt::ElideMiddle);
    table_->verticalHeader()->hide();
    table_->horizontalHeader()->setStretchLastSection(true);
    table_->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    table_->horizontalHeader()->setSectionsMovable(true);
    // Sized to what the rows in view hold: a thousand boards are not measured every round.
    table_->horizontalHeader()->setResizeContentsPrecision(0);
    table_->setContextMenuPolicy(Qt::ActionsContextMenu);
    table_->addActions({details, ping, reset, resetWait});
    table_->installEventFilter(this);
    // A column the technician sized (the last one stretches with the window by itself).
    connect(table_->horizontalHeader(), &QHeaderView::sectionResized, this, [this](int column) {
        const QHeaderView *header = table_->horizontalHeader();
        if (!fittingColumns_ && column != header->logicalIndex(header->count() - 1)) {
            columnsFitted_ = true;
        }
    });
    connect(table_, &QTableView::doubleClicked, this, &MainWindow::showDetails);
    connect(table_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &MainWindow::updateActions);

    log_ = new QPlainTextEdit(central);
    log_->setReadOnly(true);
    log_->setMaximumBlockCount(2000);
    log_->setPlaceholderText(QStringLiteral("What was done, and what came of it"));
    split_ = new QSplitter(Qt::Vertical, central);
    split_->setObjectName(QStringLiteral("split"));
    split_->addWidget(table_);
    split_->addWidget(log_);
    split_->setStretchFactor(0, 4);
    split_->setStretchFactor(1, 1);
    layout->addWidget(split_, 1);
    setCentralWidget(central);

    status_ = new QLabel(this);
    // A long status never widens the window past its screen.
    status_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    statusBar()->addWidget(status_, 1);
    updateActions();
}

void MainWindow::fitColumns() {
    // Columns sized to what they hold until the technician sizes one; from then on their
    // widths stay (and are remembered).
    if (columnsFitted_ || proxy_->rowCount() == 0) {
        return;
    }
    fittingColumns_ = true;
    table_->resizeColumnsToContents();
    const QFontMetrics metrics = table_->fontMetrics();
    const int columns = BoardTableModel::ColumnCount;
    QVector<int> widths(columns);
    QVector<int> floors(columns);
    int total = 0;
    for (int c = 0; c < columns; ++c) {
        widths[c] = std::min(table_->columnWidth(c), metrics.averageCharWidth() * 40);
        // A column is never narrower than its heading, nor than a few characters.
        const QString heading = model_->headerData(c, Qt::Horizontal).toString();
        floors[c] = std::min(widths[c], std::max(metrics.horizontalAdvance(heading) + 24,
                                                 metrics.averageCharWidth() * 6));
        total += widths[c];
    }
    // Every column on screen when it can be: the widest are cut first, down to a common width
    // (in the middle, so both ends show), and short columns stay whole.
    const int available = table_->viewport()->width();
    int cap = *std::max_element(widths.cbegin(), widths.cend());
    const auto fitted = [&](int limit) {
        int sum = 0;
        for (int c = 0; c < columns; ++c) {
            sum += std::max(floors[c], std::min(widths[c], limit));
        }
        return sum;
    };
    if (total > available) {
        int low = 0;
        while (low < cap) {
            const int mid = (low + cap + 1) / 2;
            if (fitted(mid) <= available) {
                low = mid;
            } else {
                cap = mid - 1;
            }
        }
    }
    for (int c = 0; c < columns; ++c) {
        table_->setColumnWidth(c, std::max(floors[c], std::min(widths[c], cap)));
    }
    fittingColumns_ = false;
}

bool MainWindow::eventFilter(QObject *watched, QEvent *event) {
    if (watched == table_ && event->type() == QEvent::Resize) {
        fitColumns();
    }
    // Tabbing into the table picks a row, so that the actions have a board to act on.
    if (watched == table_ && event->type() == QEvent::FocusIn &&
        !table_->selectionModel()->hasSelection() && proxy_->rowCount() > 0) {
        const QModelIndex current = table_->currentIndex();
        table_->selectRow(current.isValid() ? current.row() : 0);
    }
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::restoreLayout() {
    QSettings settings(QStringLiteral("l2station"), QStringLiteral("l2station-gui"));
    const QByteArray geometry = settings.value(QStringLiteral("window/geometry")).toByteArray();
    if (geometry.isEmpty() || !restoreGeometry(geometry)) {
        resize(1180, 600);
    }
    split_->restoreState(settings.value(QStringLiteral("window/splitter")).toByteArray());
    fittingColumns_ = true;
    columnsFitted_ = table_->horizontalHeader()->restoreState(
        settings.value(QStringLiteral("table/header")).toByteArray());
    fittingColumns_ = false;
    fitScreen();
}

void MainWindow::saveLayout() {
    QSettings settings(QStringLiteral("l2station"), QStringLiteral("l2station-gui"));
    settings.setValue(QStringLiteral("window/geometry"), saveGeometry());
    settings.setValue(QStringLiteral("window/splitter"), split_->saveState());
    if (columnsFitted_) {
        settings.setValue(QStringLiteral("table/header"), table_->horizontalHeader()->saveState());
    }
}

void MainWindow::fitScreen() {
    const QScreen *screen = QGuiApplication::screenAt(geometry().center());
    if (screen == nullptr) {
        screen = QGuiApplication::primaryScreen();
    }
    if (screen == nullptr) {
        return;
    }
    // Room for the window's frame, which is not in its size.
    const QRect room = screen->availableGeometry().adjusted(0, 0, -16, -40);
    if (width() > room.width() || height() > room.height()) {
        resize(std::min(width(), room.width()), std::min(height(), room.height()));
    }
    if (!room.contains(geometry())) {
        move(room.topLeft());
    }
}

void MainWindow::closeEvent(QCloseEvent *event) {
    saveLayout();
    QMainWindow::closeEvent(event);
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
    linkUp_ = true;
    rounds_ = 0;
    switchBanner_->hide();
    hintBanner_->hide();
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
    const int pruned = model_->applyRound(report);
    if (pruned > 0 && !prunedTold_) {
        prunedTold_ = true;
        onActivity(QStringLiteral("more than %1 boards in the table: the gone ones seen longest "
                                  "ago leave it (the history keeps them)")
                       .arg(kMaxWatchedBoards));
    }
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
    // Nothing on this interface: perhaps the boards are on another card.
    if (report.answered.isEmpty() && model_->heardCount() == 0) {
        QStringList others = segmentCandidates(listInterfaces());
        others.removeAll(interface_);
        hintBanner_->setText(
            others.isEmpty()
                ? QStringLiteral("No board answered on %1. No other Ethernet interface is up: is "
                                 "the station plugged into the boards' segment?")
                      .arg(interface_)
                : QStringLiteral("No board answered on %1. Other Ethernet interfaces that are "
                                 "up: %2. Pick the boards' segment with Interface above.")
                      .arg(interface_, others.join(QStringLiteral(", "))));
        hintBanner_->show();
    } else {
        hintBanner_->hide();
    }
    fitColumns();
    updateStatus();
    updateActions();
}

void MainWindow::onLinkChanged(bool up, const QString &why) {
    linkUp_ = up;
    linkWhy_ = why;
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
    updateActions();
}

void MainWindow::onActivity(const QString &line) {
    log_->appendPlainText(QTime::currentTime().toString(QStringLiteral("HH:mm:ss  ")) + line);
}

QString MainWindow::activityLog() const {
    return log_->toPlainText();
}

QString MainWindow::bannerText() const {
    QStringList texts;
    for (const QLabel *label : {problemBanner_, historyBanner_, switchBanner_, hintBanner_}) {
        if (!label->isHidden()) {
            texts.append(label->text());
        }
    }
    return texts.join(QLatin1Char('\n'));
}

QString MainWindow::statusText() const {
    return status_->text();
}

void MainWindow::updateBanners() {
    historyBanner_->setText(historyProblem_);
    historyBanner_->setVisible(!historyProblem_.isEmpty());
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
        const StateCounts c = model_->counts();
        text = QStringLiteral("%1: %2 present, %3 changed, %4 gone, %5 missing; last round %6")
                   .arg(interface_)
                   .arg(c.present)
                   .arg(c.changed)
                   .arg(c.gone)
                   .arg(c.missing)
                   .arg(lastRound_.toLocalTime().toString(QStringLiteral("HH:mm:ss")));
    }
    if (!jobs_.isEmpty()) {
        text += QStringLiteral(" · %1 reset%2 running")
                    .arg(jobs_.size())
                    .arg(jobs_.size() == 1 ? QString() : QStringLiteral("s"));
    }
    if (busy_) {
        text += QStringLiteral(" · pinging…");
    }
    if (!historyProblem_.isEmpty()) {
        text += QStringLiteral(" · history: see the banner");
    }
    status_->setText(text);
}

QString MainWindow::cannotSend() const {
    if (!opened_) {
        return QStringLiteral("%1 is not open")
            .arg(interface_.isEmpty() ? QStringLiteral("no interface") : interface_);
    }
    if (!linkUp_) {
        return QStringLiteral("the link of %1 is down (%2)").arg(interface_, linkWhy_);
    }
    return QString();
}

void MainWindow::updateActions() {
    const int selected = table_->selectionModel()->selectedRows().size();
    const QString why = cannotSend();
    int waits = 0;
    for (const ResetJob *job : jobs_) {
        waits += job->order().kind == ResetOrder::AndWait ? 1 : 0;
    }
    const auto set = [&](const QString &name, bool wanted, bool sends) {
        QAction *a = actions_.value(name);
        a->setEnabled(wanted && (!sends || why.isEmpty()));
        // Why an action that sends cannot now, where the technician looks for it.
        const QString tip = a->property("baseTip").toString();
        a->setToolTip(sends && !why.isEmpty() ? tip + QStringLiteral(" — not now: ") + why : tip);
    };
    set(QStringLiteral("details"), selected == 1, false);
    set(QStringLiteral("ping"), selected == 1 && !busy_, true);
    set(QStringLiteral("reset"), selected >= 1, true);
    set(QStringLiteral("resetWait"), selected == 1, true);
    set(QStringLiteral("resetAll"), true, true);
    set(QStringLiteral("resetAllWait"), true, true);
    set(QStringLiteral("stopWaits"), waits > 0, false);
}

QList<WindowBoard> MainWindow::selectedBoards() const {
    QList<int> rows;
    for (const QModelIndex &index : table_->selectionModel()->selectedRows()) {
        rows.append(index.row());
    }
    std::sort(rows.begin(), rows.end());
    QList<WindowBoard> boards;
    for (int r : rows) {
        boards.append(model_->boardAt(proxy_->mapToSource(proxy_->index(r, 0)).row()));
    }
    return boards;
}

bool MainWindow::selectedBoard(WindowBoard *board) const {
    const QList<WindowBoard> boards = selectedBoards();
    if (boards.size() != 1) {
        return false;
    }
    *board = boards.first();
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
    if (!selectedBoard(&b) || busy_ || !cannotSend().isEmpty()) {
        return;
    }
    onActivity(QStringLiteral("ping %1…").arg(boardName(b.board)));
    QMetaObject::invokeMethod(
        worker_, [w = worker_, board = b.board] { w->ping(board); }, Qt::QueuedConnection);
}

namespace {

// The boards a confirmation names: each on a line, the first few of many.
QString boardList(const QList<WindowBoard> &boards) {
    constexpr int kNamed = 8;
    QStringList lines;
    for (int i = 0; i < boards.size() && i < kNamed; ++i) {
        lines.append(QStringLiteral("  • ") + boardName(boards.at(i).board));
    }
    if (boards.size() > kNamed) {
        lines.append(QStringLiteral("  and %1 more").arg(boards.size() - kNamed));
    }
    return lines.join(QLatin1Char('\n'));
}

const char kSharedNote[] = "\n\nA board that answers from the shared address is reset through "
                           "that address: every board there that the request reaches runs its "
                           "reset script, not that one alone.";

} // namespace

void MainWindow::resetSelected() {
    const QList<WindowBoard> boards = selectedBoards();
    if (boards.isEmpty() || !cannotSend().isEmpty()) {
        return;
    }
    const bool shared = std::any_of(boards.cbegin(), boards.cend(),
                                    [](const WindowBoard &b) { return b.board.sharedAddress(); });
    const int n = boards.size();
    QString text = QStringLiteral("Reset %1 selected board%2 on %3?\n\n%4\n\nEach runs its reset "
                                  "script now.")
                       .arg(n)
                       .arg(n == 1 ? QString() : QStringLiteral("s"))
                       .arg(interface_, boardList(boards));
    if (shared) {
        text += QLatin1String(kSharedNote);
    }
    if (!confirm_(n == 1 ? QStringLiteral("Reset a board") : QStringLiteral("Reset boards"),
                  text)) {
        return;
    }
    ResetOrder order;
    order.kind = ResetOrder::Send;
    QStringList keys;
    for (const WindowBoard &b : boards) {
        order.boards.append(b.board);
        keys.append(boardKey(b.board));
        onActivity(QStringLiteral("reset %1…").arg(boardName(b.board)));
    }
    startReset(order, keys);
}

void MainWindow::resetAndWaitSelected() {
    WindowBoard b;
    if (!selectedBoard(&b) || !cannotSend().isEmpty()) {
        return;
    }
    QString text = QStringLiteral("Reset %1 on %2 and wait until it is back?\n\nIts reset script "
                                  "runs now; its row shows how it fares, and the window stays "
                                  "usable meanwhile.")
                       .arg(boardName(b.board), interface_);
    if (b.board.sharedAddress()) {
        text += QLatin1String(kSharedNote);
    }
    if (!confirm_(QStringLiteral("Reset a board and wait"), text)) {
        return;
    }
    onActivity(QStringLiteral("reset and wait %1…").arg(boardName(b.board)));
    ResetOrder order;
    order.kind = ResetOrder::AndWait;
    order.boards = {b.board};
    startReset(order, {boardKey(b.board)});
}

namespace {

// "Reset all" reaches every board the request reaches: the count is of the boards heard in
// this session, and the filter has no say.
QString resetAllText(int heard, int missing, const QString &interface, bool wait) {
    QString text =
        QStringLiteral("Reset all %1 board%2 on %3%4?\n\nEvery board on the segment "
                       "that receives the request runs its reset script now, "
                       "whatever the filter shows. %5 answered in this session")
            .arg(heard)
            .arg(heard == 1 ? QString() : QStringLiteral("s"))
            .arg(interface, wait ? QStringLiteral(" and wait until each is back") : QString())
            .arg(heard);
    if (missing > 0) {
        text += QStringLiteral("; %1 more were there at the last look and have not answered "
                               "since (they run it too if they are there)")
                    .arg(missing);
    }
    return text + QLatin1Char('.');
}

} // namespace

void MainWindow::resetAll() {
    resetEveryBoard(false);
}

void MainWindow::resetAllAndWait() {
    resetEveryBoard(true);
}

void MainWindow::resetEveryBoard(bool wait) {
    if (!cannotSend().isEmpty()) {
        return;
    }
    const int n = model_->heardCount();
    if (!confirm_(wait ? QStringLiteral("Reset all boards and wait")
                       : QStringLiteral("Reset all boards"),
                  resetAllText(n, model_->counts().missing, interface_, wait))) {
        return;
    }
    onActivity(QStringLiteral("reset all %1 boards on %2%3…")
                   .arg(n)
                   .arg(interface_, wait ? QStringLiteral(" and wait") : QString()));
    QStringList keys;
    ResetOrder order;
    order.kind = wait ? ResetOrder::AndWait : ResetOrder::Send;
    for (int r = 0; r < model_->rowCount(); ++r) {
        const WindowBoard &b = model_->boardAt(r);
        keys.append(boardKey(b.board));
        // A wait lists the boards itself; a reset without one reports those heard.
        if (!wait && (b.state == WindowBoard::Present || b.state == WindowBoard::Changed)) {
            order.heard.append(b.board);
        }
    }
    startReset(order, keys);
}

void MainWindow::startReset(const ResetOrder &base, const QStringList &keys) {
    ResetOrder order = base;
    order.interface = interface_;
    order.keys = options_.keys;
    order.waitMs = options_.resetWaitMs;
    auto *job = new ResetJob(order, this);
    connect(job, &ResetJob::boardReset, model_, &BoardTableModel::setReset);
    connect(job, &ResetJob::activity, this, &MainWindow::onActivity);
    connect(job, &ResetJob::sent, worker_, &StationWorker::recordReset);
    connect(job, &ResetJob::outcome, worker_, &StationWorker::finishReset);
    const bool wait = order.kind == ResetOrder::AndWait;
    connect(job, &ResetJob::finished, this, [this, job, keys, wait] {
        jobs_.removeAll(job);
        if (wait) {
            // The wait said how each board fared; a board still silent now may be gone.
            QMetaObject::invokeMethod(
                worker_, [w = worker_, keys] { w->release(keys); }, Qt::QueuedConnection);
        }
        updateActions();
        updateStatus();
    });
    // The rows it names show it at once; a reset of every board marks the boards it lists.
    for (const BoardInfo &b : order.boards) {
        model_->setReset(boardKey(b), QStringLiteral("resetting"));
    }
    // The rounds go on; the boards' silence while they restart is the reset's. A reset
    // without a wait holds them until they answer again, or as long as a wait would.
    const int holdMs = order.waitMs + (wait ? 10000 : 0);
    QMetaObject::invokeMethod(
        worker_, [w = worker_, keys, holdMs] { w->hold(keys, holdMs); }, Qt::QueuedConnection);
    jobs_.append(job);
    job->start();
    updateActions();
    updateStatus();
}

void MainWindow::stopWaits() {
    for (ResetJob *job : jobs_) {
        if (job->order().kind == ResetOrder::AndWait) {
            job->stop();
        }
    }
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
