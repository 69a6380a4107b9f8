// The Help menu: every text of a box the program can show is explained in the manual's
// troubleshooting section (collected from the sources, so a new box without an explanation
// fails here), the manual window's contents, and the Step by Step tour over the window.

#include "HelpController.h"
#include "MainWindow.h"
#include "MainWindowForm.h"
#include "Settings.h"
#include "TestSupport.h"

#include <QDirIterator>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextDocument>
#include <QTreeWidget>

using lumetra::app::HelpController;
using lumetra::app::TourOverlay;

namespace {

// --- A small C++ lexer: enough to find string literals and calls outside comments. ----------

struct Token {
    enum Kind { Ident, Punct, String } kind;
    QString text; // a String's decoded contents
    int line;
};

QString decodeEscapes(const QString& raw) {
    QString out;
    for (int i = 0; i < raw.size(); ++i) {
        if (raw[i] != QLatin1Char('\\') || i + 1 == raw.size()) {
            out += raw[i];
            continue;
        }
        const QChar c = raw[++i];
        if (c == QLatin1Char('n'))
            out += QLatin1Char('\n');
        else if (c == QLatin1Char('t'))
            out += QLatin1Char('\t');
        else if (c == QLatin1Char('r'))
            out += QLatin1Char('\r');
        else if (c == QLatin1Char('u') && i + 4 < raw.size()) {
            out += QChar(raw.mid(i + 1, 4).toUShort(nullptr, 16));
            i += 4;
        } else
            out += c;
    }
    return out;
}

QList<Token> lex(const QString& src) {
    QList<Token> out;
    int line = 1;
    for (int i = 0; i < src.size();) {
        const QChar c = src[i];
        if (c == QLatin1Char('\n')) {
            ++line;
            ++i;
        } else if (c.isSpace()) {
            ++i;
        } else if (src.mid(i, 2) == QLatin1String("//")) {
            while (i < src.size() && src[i] != QLatin1Char('\n'))
                ++i;
        } else if (src.mid(i, 2) == QLatin1String("/*")) {
            const int end = src.indexOf(QLatin1String("*/"), i + 2);
            const int stop = end < 0 ? src.size() : end + 2;
            line += src.mid(i, stop - i).count(QLatin1Char('\n'));
            i = stop;
        } else if (c == QLatin1Char('"') || c == QLatin1Char('\'')) {
            int j = i + 1;
            while (j < src.size() && src[j] != c)
                j += src[j] == QLatin1Char('\\') ? 2 : 1;
            if (c == QLatin1Char('"')) {
                const QString text = decodeEscapes(src.mid(i + 1, j - i - 1));
                // Adjacent literals are one string.
                if (!out.isEmpty() && out.last().kind == Token::String)
                    out.last().text += text;
                else
                    out.append({Token::String, text, line});
            }
            i = j + 1;
        } else if (c.isLetterOrNumber() || c == QLatin1Char('_')) {
            int j = i;
            while (j < src.size() && (src[j].isLetterOrNumber() || src[j] == QLatin1Char('_')))
                ++j;
            out.append({Token::Ident, src.mid(i, j - i), line});
            i = j;
        } else {
            out.append({Token::Punct, QString(c), line});
            ++i;
        }
    }
    return out;
}

struct SourceFile {
    QString path;
    QList<Token> tokens;
};

// The index one past the bracket that closes the one at `open`.
int closing(const QList<Token>& t, int open) {
    const QString o = t[open].text;
    const QString c = o == QLatin1String("(") ? QStringLiteral(")") : QStringLiteral("}");
    int depth = 0;
    for (int i = open; i < t.size(); ++i) {
        if (t[i].kind != Token::Punct)
            continue;
        if (t[i].text == o)
            ++depth;
        else if (t[i].text == c && --depth == 0)
            return i + 1;
    }
    return int(t.size());
}

bool isSeq(const QList<Token>& t, int i, const QStringList& texts) {
    if (i + texts.size() > t.size())
        return false;
    for (int k = 0; k < texts.size(); ++k)
        if (t[i + k].kind == Token::String || t[i + k].text != texts[k])
            return false;
    return true;
}

struct Fragment {
    QString text;
    QString where;
};

class BoxTextCollector {
public:
    explicit BoxTextCollector(QList<SourceFile> files) : m_files(std::move(files)) {}

    // Every literal that can reach a message box (the boxes themselves, the calibration's
    // warning notices and its two warning helpers, and the ...Title/...Text functions they
    // call), cut into the pieces around inserted values.
    QList<Fragment> collect() {
        for (const SourceFile& f : m_files) {
            const QList<Token>& t = f.tokens;
            for (int i = 0; i < t.size(); ++i) {
                int open = -1;
                if (isSeq(t, i, {"QMessageBox", ":", ":"}) && i + 4 < t.size() &&
                    QStringList{"warning", "critical", "information", "question"}.contains(
                        t[i + 3].text) &&
                    t[i + 4].text == QLatin1String("("))
                    open = i + 4;
                else if (isSeq(t, i, {"QMessageBox"}) && i + 5 < t.size() &&
                         t[i + 1].kind == Token::Ident && t[i + 2].text == QLatin1String("(") &&
                         isSeq(t, i + 3, {"QMessageBox", ":", ":"}))
                    open = i + 2;
                else if (isSeq(t, i, {"Notice", "{", "Notice", ":", ":", "Kind", ":", ":"}) &&
                         i + 8 < t.size() &&
                         QStringList{"Warning", "Critical", "Information"}.contains(t[i + 8].text))
                    open = i + 1;
                else if (i + 1 < t.size() && t[i + 1].text == QLatin1String("(") &&
                         kHelpers.contains(t[i].text) && i > 0 &&
                         (t[i - 1].kind == Token::Punct || t[i - 1].text == "return") &&
                         t[i - 1].text != QLatin1String(":"))
                    open = i + 1;
                if (open < 0)
                    continue;
                ++m_sites;
                m_siteStart = i;
                take(f, open, closing(t, open), 0);
            }
        }
        return m_out;
    }
    int sites() const { return m_sites; }

private:
    void take(const SourceFile& f, int from, int to, int depth) {
        const QList<Token>& t = f.tokens;
        for (int i = from; i < to; ++i) {
            if (t[i].kind == Token::String) {
                addPieces(t[i].text, f.path + QLatin1Char(':') + QString::number(t[i].line));
            } else if (depth == 0 && t[i].kind == Token::Ident && i + 1 < to &&
                       (t[i + 1].text == "," || t[i + 1].text == ")") &&
                       (t[i - 1].text == "(" || t[i - 1].text == ",")) {
                assignments(f, t[i].text);
            } else if (t[i].kind == Token::Ident && i + 1 < to && t[i + 1].text == "(" &&
                       (t[i].text.endsWith(QLatin1String("Title")) ||
                        t[i].text.endsWith(QLatin1String("Text"))) &&
                       depth < 3) {
                follow(t[i].text, depth + 1);
            }
        }
    }

    // A variable handed to a box: what the statements before the box assign to it
    // (`name = ...;`, `name += ...;`), looking back over the function around it.
    void assignments(const SourceFile& f, const QString& name) {
        const QList<Token>& t = f.tokens;
        for (int i = functionStart(t, m_siteStart); i + 2 < m_siteStart; ++i) {
            const bool assign =
                t[i].text == name && t[i].kind == Token::Ident &&
                (t[i + 1].text == "=" || (t[i + 1].text == "+" && t[i + 2].text == "="));
            if (!assign)
                continue;
            int end = i + 1;
            while (end < m_siteStart && t[end].text != QLatin1String(";"))
                ++end;
            take(f, i + 2, end, 1);
        }
    }

    // Where the body of the function or lambda around token `at` opens (blocks of if, for,
    // while, else and switch are looked through).
    static int functionStart(const QList<Token>& t, int at) {
        int depth = 0;
        for (int k = at - 1; k > 0; --k) {
            if (t[k].kind != Token::Punct)
                continue;
            if (t[k].text == QLatin1String("}")) {
                ++depth;
            } else if (t[k].text == QLatin1String("{") && --depth < 0) {
                int before = k - 1;
                if (t[before].text == QLatin1String(")")) {
                    for (int open = 0; before > 0; --before) {
                        open += t[before].text == QLatin1String(")")   ? 1
                                : t[before].text == QLatin1String("(") ? -1
                                                                       : 0;
                        if (open == 0)
                            break;
                    }
                    --before;
                }
                static const QStringList control = {"if", "for", "while", "switch", "else"};
                if (before < 0 || !control.contains(t[before].text))
                    return k;
                depth = 0;
            }
        }
        return 0;
    }

    // The body of `QString name(...) {...}` wherever it is defined.
    void follow(const QString& name, int depth) {
        if (m_followed.contains(name))
            return;
        m_followed.insert(name);
        for (const SourceFile& f : m_files) {
            const QList<Token>& t = f.tokens;
            for (int i = 1; i + 1 < t.size(); ++i) {
                if (t[i].text != name || t[i - 1].text != QLatin1String("QString") ||
                    t[i + 1].text != QLatin1String("("))
                    continue;
                const int after = closing(t, i + 1);
                if (after < t.size() && t[after].text == QLatin1String("{"))
                    take(f, after, closing(t, after), depth);
            }
        }
    }

    void addPieces(const QString& literal, const QString& where) {
        static const QRegularExpression cut(QStringLiteral("\\n|%\\d"));
        static const QRegularExpression letters(QStringLiteral("[A-Za-z].*[A-Za-z].*[A-Za-z]"));
        for (QString piece : literal.split(cut)) {
            piece = piece.simplified();
            // Bullets, quotes and the punctuation that joins a piece to a value.
            static const QString edge = QStringLiteral(" \"'.,;:-");
            while (!piece.isEmpty() && edge.contains(piece.front()))
                piece.remove(0, 1);
            while (!piece.isEmpty() && edge.contains(piece.back()))
                piece.chop(1);
            if (letters.match(piece).hasMatch())
                m_out.append({piece, where});
        }
    }

    // The code's own helpers that put up a warning box, with its title and text first.
    const QStringList kHelpers = {"writeWarning", "problem", "warning", "refuse"};
    QList<SourceFile> m_files;
    QList<Fragment> m_out;
    int m_siteStart = 0;
    QSet<QString> m_followed;
    int m_sites = 0;
};

QList<SourceFile> programSources() {
    QList<SourceFile> files;
    const QDir root(qEnvironmentVariable("LUMETRA_SOURCE_DIR"));
    for (const char* dir :
         {"app", "ui", "calibration", "session", "services", "camera", "measure", "common"}) {
        QDirIterator it(root.filePath(QLatin1String(dir)), {"*.cpp", "*.h"}, QDir::Files,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            if (path.contains(QLatin1String("/fuzz/")))
                continue;
            files.append({root.relativeFilePath(path), lex(testsupport::readTextFile(path))});
        }
    }
    return files;
}

// The text of a section of the rendered manual: from its heading to the next one as high.
QString renderedSection(const QTextDocument& doc, const QString& heading) {
    QString out;
    int level = 0;
    for (QTextBlock b = doc.begin(); b.isValid(); b = b.next()) {
        const int h = b.blockFormat().headingLevel();
        if (level > 0 && h > 0 && h <= level)
            break;
        if (level == 0 && h > 0 && b.text() == heading)
            level = h;
        if (level > 0)
            out += b.text() + QLatin1Char(' ');
    }
    return out.simplified();
}

} // namespace

class TestHelp : public QObject {
    Q_OBJECT
private slots:
    void troubleshootingExplainsEveryBoxText() {
        BoxTextCollector collector(programSources());
        const QList<Fragment> fragments = collector.collect();
        // A scanner that stopped finding the boxes would pass on nothing.
        QVERIFY2(collector.sites() >= 25, qPrintable(QString::number(collector.sites())));
        bool sawFollowed = false;
        for (const Fragment& f : fragments)
            sawFollowed = sawFollowed || f.text == QLatin1String("nm does not look right");
        QVERIFY(sawFollowed);

        QTextDocument doc;
        doc.setMarkdown(lumetra::app::manualMarkdown());
        const QString troubleshooting = renderedSection(doc, QStringLiteral("Troubleshooting"));
        QVERIFY(troubleshooting.size() > 1000);
        QStringList missing;
        for (const Fragment& f : fragments)
            if (!troubleshooting.contains(f.text))
                missing << f.where + QStringLiteral(": ") + f.text;
        // One line each: the failure message itself is cut short by the test library.
        for (const QString& m : missing)
            qWarning().noquote() << "Not in the manual's troubleshooting section:" << m;
        QVERIFY2(missing.isEmpty(), qPrintable(QString::number(missing.size()) +
                                               QStringLiteral(" box texts are not explained")));
    }

    void manualWindowListsItsSections() {
        testsupport::TempWorkDir dir;
        testsupport::ModalAnswerer answer;
        testsupport::storeSettings({});
        MainWindow w;
        w.show();
        w.form()->actionShow_manual->trigger();
        HelpController* help = w.help();
        QVERIFY(help->manualWindow() && help->manualWindow()->isVisible());
        QTreeWidget* contents = help->manualContents();
        QStringList top;
        for (int i = 0; i < contents->topLevelItemCount(); ++i)
            top << contents->topLevelItem(i)->text(0);
        for (const char* s :
             {"The first five minutes", "The window", "Corners and the ROI",
              "Automatic exposure and the stabiliser",
              "Calibration files and the power calibration",
              "The beam analysis and what its numbers mean", "Recording and reports",
              "Real cameras", "lumetra-measure", "Files and settings", "Troubleshooting"})
            QVERIFY2(top.contains(QLatin1String(s)), s);
        // Choosing a section brings its heading to the top of the text.
        QTreeWidgetItem* last = contents->topLevelItem(contents->topLevelItemCount() - 1);
        QTest::mouseClick(contents->viewport(), Qt::LeftButton, {},
                          contents->visualItemRect(last).center());
        QTextBrowser* browser = help->manualBrowser();
        QVERIFY(browser->verticalScrollBar()->value() > 0);
        QCOMPARE(browser->cursorForPosition(QPoint(5, 5)).block().text(), last->text(0));
        // The menu brings the same window back.
        help->manualWindow()->close();
        QWidget* first = help->manualWindow();
        w.form()->actionShow_manual->trigger();
        QCOMPARE(help->manualWindow(), first);
        QVERIFY(first->isVisible());
        // Closing the window closes the manual: it must not keep the program running.
        w.close();
        QVERIFY(!first->isVisible());
        QCOMPARE(answer.count(), 0);
    }

    void tourHighlightsEachControlInTurn() {
        testsupport::TempWorkDir dir;
        testsupport::ModalAnswerer answer;
        testsupport::storeSettings({});
        MainWindow w;
        w.show();
        QVERIFY(testsupport::waitUntil([&] { return w.form()->graphicsView->scene(); }));
        QVERIFY(w.form()->menuHelp->menuAction()->isVisible());
        w.form()->actionStep_by_Step->trigger();
        TourOverlay* tour = w.help()->tour();
        QVERIFY(tour && tour->isActive());
        const int steps = tour->count();
        QCOMPARE(steps, w.help()->steps().size());
        QVERIFY(steps >= 9);
        QSet<QString> texts;
        for (int i = 0; i < steps; ++i) {
            QCOMPARE(tour->current(), i);
            QCOMPARE(tour->backButton()->isEnabled(), i > 0);
            const HelpController::Step& s = w.help()->steps()[i];
            for (const QPointer<QWidget>& widget : s.widgets) {
                QVERIFY2(widget, qPrintable(s.title));
                QVERIFY2(widget->isVisible(), qPrintable(s.title));
                // In sight: inside the window, not scrolled away in the right column.
                const QRect in(widget->mapTo(&w, QPoint()), widget->size());
                QVERIFY2(w.rect().intersects(in), qPrintable(s.title));
                QVERIFY2(widget->visibleRegion().isEmpty() == false, qPrintable(s.title));
            }
            const QRect lit = tour->highlighted();
            QVERIFY2(!lit.isEmpty() && w.rect().intersects(lit), qPrintable(s.title));
            QVERIFY(w.rect().contains(tour->bubble()->geometry()));
            // The bubble does not hide what it explains, unless that is most of the window.
            if (lit.width() * lit.height() < w.width() * w.height() / 2)
                QVERIFY2(!tour->bubble()->geometry().intersects(lit), qPrintable(s.title));
            QCOMPARE(tour->textLabel()->text(), s.text);
            texts.insert(s.text);
            if (i == 1) { // Back and forth once.
                tour->backButton()->click();
                QCOMPARE(tour->current(), 0);
                tour->nextButton()->click();
            }
            tour->nextButton()->click();
        }
        QCOMPARE(texts.size(), steps);
        QVERIFY(testsupport::waitUntil([&] { return !w.help()->tour(); }));

        // Close ends it at any step.
        w.form()->actionStep_by_Step->trigger();
        w.help()->tour()->nextButton()->click();
        w.help()->tour()->closeButton()->click();
        QVERIFY(testsupport::waitUntil([&] { return !w.help()->tour(); }));
        QCOMPARE(answer.count(), 0);
    }

    void tourOfferedOnceAfterTheFirstNotes() {
        testsupport::TempWorkDir dir;
        testsupport::ModalAnswerer answer;
        answer.enqueue(testsupport::ModalAnswerer::reject()); // the notes
        answer.enqueue([](QWidget* box) {
            for (QAbstractButton* b : static_cast<QMessageBox*>(box)->buttons())
                if (b->text() == QLatin1String("Take the tour"))
                    b->click();
        });
        {
            MainWindow w;
            QCOMPARE(answer.count(), 1); // the notes, before the window shows
            w.show();
            QVERIFY(testsupport::waitUntil([&] { return answer.count() == 2; }));
            QCOMPARE(answer.titles().last(), QStringLiteral("Step by Step"));
            QVERIFY(testsupport::waitUntil([&] { return w.help()->tour(); }));
            QVERIFY(w.help()->tour()->isActive());
            QCOMPARE(testsupport::storedSetting(QStringLiteral("TourOffered")).toBool(), true);
        }
        // Neither on the next start nor on a later version's notes.
        lumetra::settings::File().remove(lumetra::settings::kNotesVersion);
        answer.clear();
        for (int run = 0; run < 2; ++run) {
            MainWindow w;
            w.show();
            QVERIFY(testsupport::waitUntil([&] { return w.form()->graphicsView->scene(); }));
            QTest::qWait(300);
            QVERIFY(!w.help()->tour());
        }
        QCOMPARE(answer.titles().size(), 1); // the notes of the "new" version only
    }
};

QTEST_MAIN(TestHelp)
#include "tst_help.moc"
