#include "app/about/helpbook.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QStringDecoder>
#include <QTextDocument>
#include <QXmlStreamReader>
#include <algorithm>

namespace zrvlog {

namespace {

constexpr int kTitleWeight = 10;
constexpr qsizetype kExcerptBefore = 40;
constexpr qsizetype kExcerptLength = 110;

QString fileOf(const QString& ref) {
  return ref.section(u'#', 0, 0);
}

bool readTopics(QXmlStreamReader& xml, QList<HelpTopic>& into) {
  while (xml.readNextStartElement()) {
    if (xml.name() != QLatin1String("topic")) {
      xml.raiseError(QStringLiteral("unexpected element <%1>").arg(xml.name()));
      return false;
    }
    HelpTopic topic;
    topic.title = xml.attributes().value(QLatin1String("title")).toString();
    topic.ref = xml.attributes().value(QLatin1String("ref")).toString();
    if (topic.title.isEmpty() || topic.ref.isEmpty()) {
      xml.raiseError(QStringLiteral("a topic without a title or a ref"));
      return false;
    }
    if (!readTopics(xml, topic.children)) return false;
    into.append(std::move(topic));
  }
  return !xml.hasError();
}

void collectFiles(const QList<HelpTopic>& topics, QStringList& files) {
  for (const HelpTopic& t : topics) {
    const QString file = fileOf(t.ref);
    if (!files.contains(file)) files.append(file);
    collectFiles(t.children, files);
  }
}

// The excerpt: whole words around the first match, on one line.
QString excerptAround(const QString& text, qsizetype at) {
  qsizetype begin = std::max<qsizetype>(0, at - kExcerptBefore);
  while (begin > 0 && !text[begin - 1].isSpace())
    --begin;
  qsizetype end = std::min(text.size(), begin + kExcerptLength);
  while (end < text.size() && !text[end].isSpace())
    ++end;
  const QString ellipsis = QStringLiteral("\u2026");
  QString excerpt = text.mid(begin, end - begin).simplified();
  if (begin > 0) excerpt.prepend(ellipsis);
  if (end < text.size() && !excerpt.endsWith(ellipsis)) excerpt.append(ellipsis);
  return excerpt;
}

}  // namespace

QStringList helpDirectoryCandidates(const QString& applicationDir) {
  QStringList candidates;
  candidates << QDir::cleanPath(applicationDir + QStringLiteral("/../share/zrvlog/help"));
#ifdef ZRVLOG_SOURCE_HELP_DIR
  candidates << QDir::cleanPath(QStringLiteral(ZRVLOG_SOURCE_HELP_DIR));
#endif
  return candidates;
}

QString findHelpDirectory(const QStringList& candidates) {
  for (const QString& dir : candidates)
    if (QFileInfo(QDir(dir).filePath(HelpBook::kContentsFile)).isFile()) return dir;
  return {};
}

bool HelpBook::load(const QString& directory, QString* error) {
  const auto fail = [error](const QString& why) {
    if (error) *error = why;
    return false;
  };
  m_directory = directory;
  m_title.clear();
  m_topics.clear();
  m_pages.clear();
  m_index.clear();

  const QDir dir(directory);
  QFile contents(dir.filePath(kContentsFile));
  if (!contents.open(QIODevice::ReadOnly))
    return fail(QStringLiteral("%1: %2").arg(contents.fileName(), contents.errorString()));
  QXmlStreamReader xml(&contents);
  if (!xml.readNextStartElement() || xml.name() != QLatin1String("contents"))
    return fail(QStringLiteral("%1: not a help contents file").arg(contents.fileName()));
  m_title = xml.attributes().value(QLatin1String("title")).toString();
  if (!readTopics(xml, m_topics) || m_topics.isEmpty())
    return fail(QStringLiteral("%1, line %2: %3")
                    .arg(contents.fileName())
                    .arg(xml.lineNumber())
                    .arg(xml.hasError() ? xml.errorString() : QStringLiteral("no topics")));

  QStringList files;
  collectFiles(m_topics, files);
  for (const QString& file : files) {
    QFile f(dir.filePath(file));
    if (!f.open(QIODevice::ReadOnly))
      return fail(QStringLiteral("%1: %2").arg(f.fileName(), f.errorString()));
    QStringDecoder utf8(QStringDecoder::Utf8);
    QTextDocument document;
    document.setHtml(utf8(f.readAll()));
    HelpPage page{file, document.metaInformation(QTextDocument::DocumentTitle),
                  document.toPlainText()};
    if (page.title.isEmpty()) page.title = file;
    m_index.append({words(page.text), words(page.title)});
    m_pages.append(std::move(page));
  }
  return true;
}

QString HelpBook::home() const {
  return m_topics.isEmpty() ? QString() : m_topics.first().ref;
}

const HelpPage* HelpBook::page(const QString& file) const {
  for (const HelpPage& p : m_pages)
    if (p.file == file) return &p;
  return nullptr;
}

QStringList HelpBook::words(const QString& text) {
  QStringList list;
  QString word;
  for (const QChar c : text) {
    if (c.isLetterOrNumber()) {
      word += c.toLower();
    } else if (!word.isEmpty()) {
      list.append(word);
      word.clear();
    }
  }
  if (!word.isEmpty()) list.append(word);
  return list;
}

QStringList HelpBook::searchTerms(const QString& query) {
  QStringList terms = words(query);
  terms.removeDuplicates();
  return terms;
}

QRegularExpression HelpBook::matchPattern(const QStringList& terms) {
  QStringList escaped;
  for (const QString& t : terms)
    escaped << QRegularExpression::escape(t);
  // Letters and digits only, as words() splits them; \w would also take "_".
  return QRegularExpression(
      QStringLiteral("(?<![\\p{L}\\p{N}])(?:%1)[\\p{L}\\p{N}]*").arg(escaped.join(u'|')),
      QRegularExpression::CaseInsensitiveOption | QRegularExpression::UseUnicodePropertiesOption);
}

QList<HelpHit> HelpBook::search(const QString& query) const {
  const QStringList terms = searchTerms(query);
  QList<HelpHit> hits;
  if (terms.isEmpty()) return hits;
  const auto count = [](const QStringList& words, const QString& term) {
    return static_cast<int>(std::count_if(words.begin(), words.end(),
                                          [&](const QString& w) { return w.startsWith(term); }));
  };
  const QRegularExpression pattern = matchPattern(terms);
  for (qsizetype i = 0; i < m_pages.size(); ++i) {
    int score = 0;
    bool all = true;
    for (const QString& term : terms) {
      const int inText = count(m_index[i].words, term);
      const int inTitle = count(m_index[i].titleWords, term);
      if (inText + inTitle == 0) {
        all = false;
        break;
      }
      score += inText + kTitleWeight * inTitle;
    }
    if (!all) continue;
    const HelpPage& page = m_pages[i];
    const QRegularExpressionMatch first = pattern.match(page.text);
    hits.append({page.file, page.title,
                 first.hasMatch() ? excerptAround(page.text, first.capturedStart()) : QString(),
                 score});
  }
  // Best first; equal scores keep the order of the contents.
  std::stable_sort(hits.begin(), hits.end(),
                   [](const HelpHit& a, const HelpHit& b) { return a.score > b.score; });
  return hits;
}

}  // namespace zrvlog
