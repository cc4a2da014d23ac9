#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSet>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>
#include <functional>

#include "app/about/frmhelp.h"
#include "app/about/helpbook.h"

namespace zrvlog {
namespace {

const QString kHelpSource = QStringLiteral(ZRVLOG_HELP_SOURCE_DIR);

QString readFile(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return {};
  return QString::fromUtf8(f.readAll());
}

// The anchors a page defines: id="..." and name="..." attributes.
QSet<QString> anchorsOf(const QString& html) {
  QSet<QString> anchors;
  static const QRegularExpression re(QStringLiteral(R"re((?:id|name)\s*=\s*"([^"]+)")re"));
  for (const auto& m : re.globalMatch(html))
    anchors.insert(m.captured(1));
  return anchors;
}

// Checks that ref ("page.html#anchor", "#anchor" or "page.html") names an existing page of
// the folder and, with an anchor, an anchor of that page. from: the page it appears in.
void expectResolves(const QString& ref, const QString& from) {
  SCOPED_TRACE(("in " + from + ": " + ref).toStdString());
  const QString file = ref.section(u'#', 0, 0).isEmpty() ? from : ref.section(u'#', 0, 0);
  const QString anchor = ref.section(u'#', 1);
  EXPECT_FALSE(file.contains(u'/')) << "help pages link only within their folder";
  const QString path = QDir(kHelpSource).filePath(file);
  ASSERT_TRUE(QFileInfo(path).isFile());
  if (!anchor.isEmpty()) {
    EXPECT_TRUE(anchorsOf(readFile(path)).contains(anchor));
  }
}

TEST(HelpPages, EveryPageIsInTheContentsAndEveryLinkResolves) {
  HelpBook book;
  QString error;
  ASSERT_TRUE(book.load(kHelpSource, &error)) << error.toStdString();

  // Every page of the folder is reachable from the contents.
  QSet<QString> listed;
  for (const HelpPage& p : book.pages())
    listed.insert(p.file);
  const QStringList files = QDir(kHelpSource).entryList({QStringLiteral("*.html")}, QDir::Files);
  ASSERT_FALSE(files.isEmpty());
  for (const QString& file : files)
    EXPECT_TRUE(listed.contains(file)) << file.toStdString() << " is not in the contents";

  // Every topic of the contents resolves, anchors included.
  std::function<void(const QList<HelpTopic>&)> walk = [&](const QList<HelpTopic>& topics) {
    for (const HelpTopic& t : topics) {
      expectResolves(t.ref, HelpBook::kContentsFile);
      walk(t.children);
    }
  };
  walk(book.topics());

  // Every link inside the pages resolves; every page has a title and the style sheet.
  static const QRegularExpression link(QStringLiteral(R"re((?:href|src)\s*=\s*"([^"]*)")re"));
  static const QRegularExpression external(QStringLiteral("^[a-z]+:"));
  for (const QString& file : files) {
    const QString html = readFile(QDir(kHelpSource).filePath(file));
    const HelpPage* page = book.page(file);
    ASSERT_NE(page, nullptr);
    EXPECT_NE(page->title, file) << file.toStdString() << " has no <title>";
    EXPECT_TRUE(html.contains(QStringLiteral("href=\"help.css\""))) << file.toStdString();
    int links = 0;
    for (const auto& m : link.globalMatch(html)) {
      const QString ref = m.captured(1);
      if (external.match(ref).hasMatch()) continue;
      expectResolves(ref, file);
      ++links;
    }
    EXPECT_GT(links, 1) << file.toStdString() << " links nowhere";
  }
}

// A small book written by the test, so that search results are known.
class SmallBookTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.isValid());
    page(QStringLiteral("a.html"), QStringLiteral("Calibration"),
         QStringLiteral("Type the coefficients. The sensor gives 0.5&nbsp;V at 0 &deg;C."));
    page(QStringLiteral("b.html"), QStringLiteral("Ports"),
         QStringLiteral("Join the <b>dialout</b> group. <i>Permission denied</i> means the "
                        "port may not be opened."));
    page(QStringLiteral("c.html"), QStringLiteral("Runs"),
         QStringLiteral("Start a run: the port opens and the calibration applies."));
    write(HelpBook::kContentsFile,
          QStringLiteral("<contents title=\"Small\">"
                         "<topic title=\"Runs\" ref=\"c.html\">"
                         "<topic title=\"Ports\" ref=\"b.html#top\"/></topic>"
                         "<topic title=\"Calibration\" ref=\"a.html\"/></contents>"));
  }
  void write(const QString& name, const QString& text) {
    QFile f(dir.filePath(name));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(text.toUtf8());
  }
  void page(const QString& name, const QString& title, const QString& body) {
    write(name, QStringLiteral("<html><head><title>%1</title></head><body><h1 id=\"top\">%1</h1>"
                               "<p>%2</p></body></html>")
                    .arg(title, body));
  }
  QTemporaryDir dir;
};

TEST_F(SmallBookTest, LoadsTheContentsTreeAndThePagesInContentsOrder) {
  HelpBook book;
  ASSERT_TRUE(book.load(dir.path()));
  EXPECT_EQ(book.title(), QStringLiteral("Small"));
  ASSERT_EQ(book.topics().size(), 2);
  EXPECT_EQ(book.topics()[0].children.size(), 1);
  EXPECT_EQ(book.topics()[0].children[0].ref, QStringLiteral("b.html#top"));
  EXPECT_EQ(book.home(), QStringLiteral("c.html"));
  QStringList order;
  for (const HelpPage& p : book.pages())
    order << p.file;
  EXPECT_EQ(order, (QStringList{"c.html", "b.html", "a.html"}));
  // The text is what the page shows: entities decoded, no markup, no title.
  EXPECT_EQ(book.page(QStringLiteral("a.html"))->title, QStringLiteral("Calibration"));
  EXPECT_TRUE(book.page(QStringLiteral("a.html"))->text.contains(QStringLiteral("0 \u00b0C")));
  EXPECT_FALSE(book.page(QStringLiteral("b.html"))->text.contains(u'<'));
}

TEST_F(SmallBookTest, SearchFindsPagesHoldingEveryWordBestFirst) {
  HelpBook book;
  ASSERT_TRUE(book.load(dir.path()));
  struct Case {
    const char* query;
    QStringList files;
  } cases[] = {
      {"dialout", {"b.html"}},
      {"DIALOUT", {"b.html"}},           // no case
      {"calib", {"a.html", "c.html"}},   // a prefix; the title counts more
      {"port", {"b.html", "c.html"}},    // "Ports" in b's title
      {"port calibration", {"c.html"}},  // every word must be there
      {"per den", {"b.html"}},           // prefixes of two words
      {"opened", {"b.html"}},            // "opens" does not start with "opened"
      {"zebra", {}},
      {"", {}},
      {" ,; ", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.query);
    QStringList files;
    for (const HelpHit& hit : book.search(QString::fromUtf8(c.query)))
      files << hit.file;
    EXPECT_EQ(files, c.files);
  }
  const QList<HelpHit> hits = book.search(QStringLiteral("denied"));
  ASSERT_EQ(hits.size(), 1);
  EXPECT_EQ(hits[0].title, QStringLiteral("Ports"));
  EXPECT_TRUE(hits[0].excerpt.contains(QStringLiteral("Permission denied")));
}

TEST_F(SmallBookTest, LoadSaysWhatIsMissingOrBroken) {
  struct Case {
    const char* name;
    QString contents;  // empty: no contents file
    const char* errorPart;
  } cases[] = {
      {"no contents", {}, "contents.xml"},
      {"a page that is not there",
       QStringLiteral("<contents><topic title=\"X\" ref=\"gone.html\"/></contents>"), "gone.html"},
      {"not a contents file", QStringLiteral("<html/>"), "not a help contents file"},
      {"a topic without a title", QStringLiteral("<contents><topic ref=\"a.html\"/></contents>"),
       "without a title"},
      {"no topics", QStringLiteral("<contents title=\"Empty\"></contents>"), "no topics"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QFile::remove(dir.filePath(HelpBook::kContentsFile));
    if (!c.contents.isEmpty()) write(HelpBook::kContentsFile, c.contents);
    HelpBook book;
    QString error;
    EXPECT_FALSE(book.load(dir.path(), &error));
    EXPECT_TRUE(error.contains(QString::fromUtf8(c.errorPart))) << error.toStdString();
  }
}

TEST(HelpDirectory, TheCopyBesideTheProgramComesFirstThenTheNextThatHoldsContents) {
  const QStringList candidates = helpDirectoryCandidates(QStringLiteral("/opt/zrvlog/bin"));
  ASSERT_GE(candidates.size(), 2);
  EXPECT_EQ(candidates[0], QStringLiteral("/opt/zrvlog/share/zrvlog/help"));
  EXPECT_EQ(candidates.last(), QDir::cleanPath(kHelpSource));

  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString first = dir.filePath(QStringLiteral("first"));
  const QString second = dir.filePath(QStringLiteral("second"));
  QDir().mkpath(first);  // exists, but without contents
  QDir().mkpath(second);
  QFile f(QDir(second).filePath(HelpBook::kContentsFile));
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.close();
  EXPECT_EQ(findHelpDirectory({dir.filePath(QStringLiteral("none")), first, second}), second);
  EXPECT_EQ(findHelpDirectory({first}), QString());
}

class HelpWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QString error;
    ASSERT_TRUE(book.load(kHelpSource, &error)) << error.toStdString();
    window = std::make_unique<frmHelp>(book);
    window->show();
  }
  HelpBook book;
  std::unique_ptr<frmHelp> window;
};

TEST_F(HelpWindowTest, ListsEveryTopicAndOpensOnTheHomePage) {
  QStringList expected;
  std::function<void(const QList<HelpTopic>&)> walk = [&](const QList<HelpTopic>& topics) {
    for (const HelpTopic& t : topics) {
      expected << t.title;
      walk(t.children);
    }
  };
  walk(book.topics());
  QStringList shown;
  for (QTreeWidgetItemIterator it(window->contentsList()); *it; ++it)
    shown << (*it)->text(0);
  EXPECT_EQ(shown, expected);
  EXPECT_EQ(window->contentsList()->topLevelItemCount(), book.topics().size());
  EXPECT_EQ(window->currentPage(), book.home());
  EXPECT_FALSE(window->browser()->toPlainText().isEmpty());
}

TEST_F(HelpWindowTest, ChoosingATopicOpensItsPageAtItsAnchor) {
  QTreeWidgetItem* target = nullptr;
  for (QTreeWidgetItemIterator it(window->contentsList()); *it; ++it)
    if ((*it)->text(0) == QStringLiteral("Keyboard shortcuts")) target = *it;
  ASSERT_NE(target, nullptr);
  window->contentsList()->setCurrentItem(target);
  EXPECT_EQ(window->currentPage(), QStringLiteral("menus.html"));
  // The anchor is far down the page: the browser has scrolled to it.
  EXPECT_GT(window->browser()->verticalScrollBar()->value(), 0);

  // Following a link selects the topic of the page reached.
  window->openPage(QStringLiteral("calibration.html"));
  ASSERT_NE(window->contentsList()->currentItem(), nullptr);
  EXPECT_EQ(window->contentsList()->currentItem()->text(0), QStringLiteral("Calibration"));
}

TEST_F(HelpWindowTest, FindsAPageByAWordAndHighlightsTheWordsFound) {
  window->showSearch();
  EXPECT_EQ(window->tabs()->currentIndex(), 1);
  const int found = window->search(QStringLiteral("Dialout"));
  const QList<HelpHit> hits = book.search(QStringLiteral("dialout"));
  ASSERT_GT(found, 0);
  ASSERT_EQ(window->resultList()->count(), hits.size());
  EXPECT_TRUE(window->resultList()->item(0)->text().startsWith(hits[0].title));
  EXPECT_EQ(hits[0].file, QStringLiteral("ports.html"));

  window->openResult(0);
  EXPECT_EQ(window->currentPage(), hits[0].file);
  const QStringList marked = window->highlightedWords();
  ASSERT_FALSE(marked.isEmpty());
  for (const QString& w : marked)
    EXPECT_TRUE(w.startsWith(QStringLiteral("dialout"), Qt::CaseInsensitive)) << w.toStdString();
  // As many marks as the page shows the word.
  EXPECT_EQ(marked.size(), window->browser()->toPlainText().count(
                               QRegularExpression(QStringLiteral("(?i)\\bdialout"))));

  // Another page opened from the contents carries no marks.
  window->openPage(QStringLiteral("run.html"));
  EXPECT_TRUE(window->highlightedWords().isEmpty());

  EXPECT_EQ(window->search(QStringLiteral("xylophone")), 0);
  EXPECT_EQ(window->resultList()->count(), 0);
  EXPECT_FALSE(window->searchStatus()->text().isEmpty());
}

}  // namespace
}  // namespace zrvlog
