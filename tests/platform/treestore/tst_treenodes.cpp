// The rules of adding nodes, one table run over every TreeNodes: the lister's plain and
// printing trees and the program's tree control must agree on every case.
#include <QTest>
#include <cstdio>
#include <memory>

#include "PrintingTree.h"
#include "TreeStore.h"
#include "TreeView.h"

using platform::TreeNodes;

namespace
{

constexpr int kChild = TreeNodes::tvwChild;
constexpr const char *kTaken = "Key is not unique in collection";
constexpr const char *kNotFound = "Element not found";
constexpr const char *kInvalid = "Invalid relationship: only child nodes are supported";

// One call: Add(relative, relationship, key), or Clear when relative is "clear". expect is the
// node number returned, or the TreeError's message.
struct Step {
    const char *relative;
    int relationship;
    const char *key;
    const char *expect;
};

struct Case {
    const char *name;
    std::vector<Step> steps;
    std::size_t count; // nodes at the end: failed adds leave nothing behind
};

const std::vector<Case> kCases = {
    {"numbered in add order across levels",
     {{"", 0, "R1", "1"}, {"R1", kChild, "", "2"}, {"", 0, "R2", "3"}, {"R1", kChild, "", "4"}},
     4},
    {"a taken key", {{"", 0, "R1", "1"}, {"", 0, "R1", kTaken}, {"R1", kChild, "R1", kTaken}}, 1},
    {"an empty key is no key", {{"", 0, "", "1"}, {"", 0, "", "2"}}, 2},
    {"a relative that names no node",
     {{"", 0, "R1", "1"}, {"R9", kChild, "", kNotFound}, {"", 0, "", "2"}},
     2},
    {"only child nodes, also right after a child",
     {{"", 0, "R1", "1"},
      {"R1", TreeNodes::tvwNext, "", kInvalid},
      {"R1", kChild, "", "2"},
      {"R1", TreeNodes::tvwNext, "", kInvalid},
      {"R1", TreeNodes::tvwFirst, "", kInvalid}},
     2},
    {"keys are free again after a clear",
     {{"", 0, "R1", "1"},
      {"clear", 0, "", ""},
      {"R1", kChild, "", kNotFound},
      {"", 0, "R1", "1"},
      {"R1", kChild, "", "2"}},
     2},
};

std::unique_ptr<TreeNodes> make(const QString &kind, std::FILE *sink,
                                std::unique_ptr<lister::Output> &output)
{
    if (kind == "plain")
        return std::make_unique<platform::PlainTreeNodes>();
    if (kind == "control")
        return std::make_unique<platform::TreeView>();
    output = std::make_unique<lister::Output>(sink);
    return std::make_unique<lister::PrintingTreeNodes>(*output);
}

} // namespace

class TestTreeNodes : public QObject
{
    Q_OBJECT
private slots:
    void addingFollowsOneSetOfRules_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("which");
        for (const char *kind : {"plain", "control", "printing"})
            for (std::size_t i = 0; i < kCases.size(); ++i)
                QTest::addRow("%s: %s", kind, kCases[i].name) << QString(kind) << int(i);
    }
    void addingFollowsOneSetOfRules()
    {
        QFETCH(QString, kind);
        QFETCH(int, which);
        const Case &c = kCases[std::size_t(which)];
        std::FILE *sink = std::fopen("/dev/null", "w");
        QVERIFY(sink);
        std::unique_ptr<lister::Output> output;
        {
            const std::unique_ptr<TreeNodes> nodes = make(kind, sink, output);
            for (const Step &s : c.steps) {
                if (std::string_view(s.relative) == "clear") {
                    nodes->Clear();
                    continue;
                }
                QString got;
                try {
                    got = QString::number(nodes->Add(s.relative, s.relationship, s.key, "t"));
                } catch (const platform::TreeError &e) {
                    got = e.what();
                }
                QVERIFY2(got == s.expect, qPrintable(QStringLiteral("%1 %2 %3: %4")
                                                         .arg(s.relative)
                                                         .arg(s.relationship)
                                                         .arg(s.key, got)));
            }
            QCOMPARE(nodes->Count(), c.count);
        }
        output.reset();
        std::fclose(sink);
    }
};

QTEST_MAIN(TestTreeNodes)
#include "tst_treenodes.moc"
