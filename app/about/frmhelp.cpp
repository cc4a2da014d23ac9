#include "app/about/frmhelp.h"

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <QPushButton>
#include <QScrollBar>
#include <QSplitter>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QTabWidget>
#include <QTextBrowser>
#include <QTextDocument>
#include <QToolBar>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>
#include <QVBoxLayout>

namespace zrvlog {

namespace {

constexpr int kRefRole = Qt::UserRole;
constexpr int kTitleRole = Qt::UserRole + 1;
constexpr int kExcerptRole = Qt::UserRole + 2;
const QColor kHighlight(0xff, 0xe2, 0x66);

// A page found: its title in bold over the text around the first match, wrapped to the
// list's width.
class HitDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override {
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    opt.text.clear();
    const QWidget* widget = opt.widget;
    QStyle* style = widget ? widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);  // background, focus
    const bool selected = opt.state & QStyle::State_Selected;
    QTextDocument document;
    layOut(
        document, index, opt.rect.width(),
        selected ? opt.palette.highlightedText().color() : opt.palette.text().color(),
        selected ? opt.palette.highlightedText().color() : opt.palette.placeholderText().color());
    painter->save();
    painter->translate(opt.rect.topLeft());
    document.drawContents(painter);
    painter->restore();
  }

  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    const auto* view = qobject_cast<const QAbstractItemView*>(option.widget);
    const int width = view ? view->viewport()->width() : option.rect.width();
    QTextDocument document;
    layOut(document, index, width, Qt::black, Qt::gray);
    return {width, static_cast<int>(document.size().height())};
  }

 private:
  static void layOut(QTextDocument& document, const QModelIndex& index, int width,
                     const QColor& title, const QColor& excerpt) {
    document.setDocumentMargin(4);
    document.setTextWidth(width);
    document.setHtml(QStringLiteral("<div style=\"color:%1\"><b>%2</b></div>"
                                    "<div style=\"color:%3\">%4</div>")
                         .arg(title.name(), index.data(kTitleRole).toString().toHtmlEscaped(),
                              excerpt.name(), index.data(kExcerptRole).toString().toHtmlEscaped()));
  }
};

}  // namespace

frmHelp::frmHelp(HelpBook book, QWidget* parent)
    : QMainWindow(parent, Qt::Window), m_book(std::move(book)) {
  setObjectName(QStringLiteral("frmHelp"));
  setWindowTitle(m_book.title().isEmpty() ? QStringLiteral("ZRVLOG Help") : m_book.title());
  setAttribute(Qt::WA_DeleteOnClose, false);

  m_browser = new QTextBrowser(this);
  m_browser->setObjectName(QStringLiteral("helpBrowser"));
  m_browser->setSearchPaths({m_book.directory()});
  m_browser->setOpenExternalLinks(true);
  m_browser->document()->setDocumentMargin(14);

  m_contents = new QTreeWidget(this);
  m_contents->setObjectName(QStringLiteral("helpContents"));
  m_contents->setHeaderHidden(true);
  m_contents->setRootIsDecorated(true);
  fillContents(m_book.topics(), nullptr);

  auto* searchPage = new QWidget(this);
  auto* prompt = new QLabel(QStringLiteral("Type the &words to find:"), searchPage);
  m_searchField = new QLineEdit(searchPage);
  m_searchField->setObjectName(QStringLiteral("helpSearchField"));
  m_searchField->setClearButtonEnabled(true);
  m_searchField->setPlaceholderText(QStringLiteral("e.g. port permission"));
  prompt->setBuddy(m_searchField);
  auto* find = new QPushButton(QStringLiteral("&Find"), searchPage);
  m_results = new QListWidget(searchPage);
  m_results->setObjectName(QStringLiteral("helpResults"));
  m_results->setWordWrap(true);
  m_results->setAlternatingRowColors(true);
  m_results->setTextElideMode(Qt::ElideNone);
  m_results->setItemDelegate(new HitDelegate(m_results));
  m_results->setResizeMode(QListView::Adjust);
  m_results->setUniformItemSizes(false);
  m_searchStatus = new QLabel(searchPage);
  m_searchStatus->setWordWrap(true);
  auto* fieldRow = new QHBoxLayout;
  fieldRow->addWidget(m_searchField, 1);
  fieldRow->addWidget(find);
  auto* searchLayout = new QVBoxLayout(searchPage);
  searchLayout->setContentsMargins(6, 8, 6, 6);
  searchLayout->addWidget(prompt);
  searchLayout->addLayout(fieldRow);
  searchLayout->addWidget(m_searchStatus);
  searchLayout->addWidget(m_results, 1);

  m_tabs = new QTabWidget(this);
  m_tabs->addTab(m_contents, QStringLiteral("&Contents"));
  m_tabs->addTab(searchPage, QStringLiteral("&Search"));

  auto* splitter = new QSplitter(Qt::Horizontal, this);
  splitter->addWidget(m_tabs);
  splitter->addWidget(m_browser);
  splitter->setStretchFactor(0, 0);
  splitter->setStretchFactor(1, 1);
  splitter->setSizes({270, 650});
  splitter->setChildrenCollapsible(false);
  setCentralWidget(splitter);

  QToolBar* bar = addToolBar(QStringLiteral("Navigation"));
  bar->setMovable(false);
  bar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  bar->toggleViewAction()->setVisible(false);
  m_back = bar->addAction(style()->standardIcon(QStyle::SP_ArrowBack), QStringLiteral("&Back"),
                          m_browser, &QTextBrowser::backward);
  m_back->setShortcut(QKeySequence::Back);
  m_back->setEnabled(false);
  m_forward = bar->addAction(style()->standardIcon(QStyle::SP_ArrowForward),
                             QStringLiteral("&Forward"), m_browser, &QTextBrowser::forward);
  m_forward->setShortcut(QKeySequence::Forward);
  m_forward->setEnabled(false);
  bar->addAction(style()->standardIcon(QStyle::SP_DirHomeIcon), QStringLiteral("&Home"), this,
                 [this] { openPage(m_book.home()); });
  setContextMenuPolicy(Qt::NoContextMenu);

  connect(m_browser, &QTextBrowser::backwardAvailable, m_back, &QAction::setEnabled);
  connect(m_browser, &QTextBrowser::forwardAvailable, m_forward, &QAction::setEnabled);
  connect(m_browser, &QTextBrowser::sourceChanged, this, &frmHelp::onSourceChanged);
  connect(m_contents, &QTreeWidget::currentItemChanged, this,
          [this](QTreeWidgetItem* item) { onContentsItem(item); });
  connect(m_contents, &QTreeWidget::itemClicked, this,
          [this](QTreeWidgetItem* item) { onContentsItem(item); });
  connect(m_searchField, &QLineEdit::returnPressed, this,
          [this] { search(m_searchField->text()); });
  connect(find, &QPushButton::clicked, this, [this] { search(m_searchField->text()); });
  connect(m_results, &QListWidget::itemClicked, this,
          [this](QListWidgetItem* item) { openResult(m_results->row(item)); });
  connect(m_results, &QListWidget::itemActivated, this,
          [this](QListWidgetItem* item) { openResult(m_results->row(item)); });

  resize(940, 640);
  openPage(m_book.home());
}

void frmHelp::fillContents(const QList<HelpTopic>& topics, QTreeWidgetItem* parent) {
  for (const HelpTopic& topic : topics) {
    auto* item = parent ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(m_contents);
    item->setText(0, topic.title);
    item->setData(0, kRefRole, topic.ref);
    fillContents(topic.children, item);
  }
}

void frmHelp::showContents() {
  m_tabs->setCurrentIndex(0);
  m_contents->setFocus();
}

void frmHelp::showSearch() {
  m_tabs->setCurrentIndex(1);
  m_searchField->setFocus();
  m_searchField->selectAll();
}

int frmHelp::search(const QString& query) {
  m_results->clear();
  m_lastTerms = HelpBook::searchTerms(query);
  if (m_searchField->text() != query) m_searchField->setText(query);
  if (m_lastTerms.isEmpty()) {
    m_searchStatus->setText(QStringLiteral("Type one or more words, then press Enter."));
    return 0;
  }
  const QList<HelpHit> hits = m_book.search(query);
  for (const HelpHit& hit : hits) {
    auto* item = new QListWidgetItem(hit.title + QLatin1Char('\n') + hit.excerpt, m_results);
    item->setData(kRefRole, hit.file);
    item->setData(kTitleRole, hit.title);
    item->setData(kExcerptRole, hit.excerpt);
    item->setToolTip(hit.excerpt);
  }
  m_searchStatus->setText(
      hits.isEmpty() ? QStringLiteral("No page holds all of these words.")
      : hits.size() == 1
          ? QStringLiteral("1 page found. Click it to open it.")
          : QStringLiteral("%1 pages found, best first. Click one to open it.").arg(hits.size()));
  return static_cast<int>(hits.size());
}

void frmHelp::openResult(int row) {
  QListWidgetItem* item = m_results->item(row);
  if (!item) return;
  const QStringList terms = m_lastTerms;
  openPage(item->data(kRefRole).toString());
  highlight(terms);
}

void frmHelp::openPage(const QString& ref) {
  QUrl url = QUrl::fromLocalFile(QDir(m_book.directory()).filePath(ref.section(u'#', 0, 0)));
  const QString fragment = ref.section(u'#', 1);
  if (!fragment.isEmpty()) url.setFragment(fragment);
  m_browser->setSource(url);
  // The same page again does not reload; go to its anchor, or its top.
  if (fragment.isEmpty())
    m_browser->verticalScrollBar()->setValue(0);
  else
    m_browser->scrollToAnchor(fragment);
  selectContentsItem(url);
}

QString frmHelp::currentPage() const {
  return QFileInfo(m_browser->source().toLocalFile()).fileName();
}

QStringList frmHelp::highlightedWords() const {
  QStringList words;
  for (const QTextEdit::ExtraSelection& s : m_browser->extraSelections())
    words << s.cursor.selectedText();
  return words;
}

void frmHelp::onSourceChanged(const QUrl& url) {
  // Highlights belong to the page a search opened; any other page starts without.
  m_browser->setExtraSelections({});
  selectContentsItem(url);
}

void frmHelp::onContentsItem(QTreeWidgetItem* item) {
  if (!item || m_syncingContents) return;
  const QString ref = item->data(0, kRefRole).toString();
  QString shown = currentPage();
  if (!m_browser->source().fragment().isEmpty())
    shown += QLatin1Char('#') + m_browser->source().fragment();
  if (ref != shown) openPage(ref);
}

void frmHelp::selectContentsItem(const QUrl& url) {
  const QString file = QFileInfo(url.toLocalFile()).fileName();
  const QString withAnchor =
      url.fragment().isEmpty() ? file : file + QLatin1Char('#') + url.fragment();
  QTreeWidgetItem* best = nullptr;
  for (QTreeWidgetItemIterator it(m_contents); *it; ++it) {
    const QString ref = (*it)->data(0, kRefRole).toString();
    if (ref == withAnchor) {
      best = *it;
      break;
    }
    if (!best && ref == file) best = *it;
  }
  if (!best || best == m_contents->currentItem()) return;
  m_syncingContents = true;
  m_contents->setCurrentItem(best);
  m_syncingContents = false;
}

void frmHelp::highlight(const QStringList& terms) {
  QList<QTextEdit::ExtraSelection> selections;
  if (!terms.isEmpty()) {
    QTextDocument* document = m_browser->document();
    const QRegularExpression pattern = HelpBook::matchPattern(terms);
    for (QTextCursor found = document->find(pattern, 0); !found.isNull();
         found = document->find(pattern, found)) {
      QTextEdit::ExtraSelection selection;
      selection.cursor = found;
      selection.format.setBackground(kHighlight);
      selection.format.setForeground(Qt::black);
      selections.append(selection);
    }
  }
  m_browser->setExtraSelections(selections);
  if (!selections.isEmpty()) {
    QTextCursor first = selections.first().cursor;
    first.clearSelection();
    m_browser->setTextCursor(first);
    // The first match a little below the top of the view, with some of its context above.
    QScrollBar* bar = m_browser->verticalScrollBar();
    bar->setValue(bar->value() + m_browser->cursorRect(first).top() -
                  m_browser->viewport()->height() / 5);
  }
}

}  // namespace zrvlog
