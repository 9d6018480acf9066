// The tree control: a QTreeView over a thin model on the compact node store, offering the
// node collection that the listing and the search work through.
#pragma once

#include <QAbstractItemModel>
#include <QTreeView>
#include <vector>

#include "PropertyError.h"
#include "TreeStore.h"

namespace platform
{

// Node n is the index with internalId n; the invisible root is the invalid index.
class TreeModel : public QAbstractItemModel
{
    Q_OBJECT
public:
    using QAbstractItemModel::QAbstractItemModel;

    const TreeStore &Store() const { return store_; }
    // One reset.
    void Clear();
    // Announced with beginInsertRows, unless the model is frozen. A taken key raises
    // TreeError before anything changes.
    NodeId Add(NodeId parent, std::string_view key, std::string_view text);

    // While frozen, views go on seeing the nodes that were there at Freeze, until Announce
    // makes the nodes added since known: in add order, as few insertions as the parents allow
    // (one, when only archives and their entries came). Thaw announces the rest.
    void Freeze();
    void Announce();
    void Thaw();
    // Ends a freeze however far the announcements went: the views read everything again.
    void ThawByReset();
    bool Frozen() const { return frozen_; }
    // The nodes the views know.
    std::size_t Known() const { return frozen_ ? known_ : store_.Count(); }

    // The index of a node the views know, or an invalid index.
    QModelIndex IndexOf(NodeId id) const;
    static NodeId NodeOf(const QModelIndex &index) { return NodeId(index.internalId()); }

    QModelIndex index(int row, int column, const QModelIndex &parent = {}) const override;
    QModelIndex parent(const QModelIndex &child) const override;
    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex & = {}) const override { return 1; }
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

private:
    TreeStore store_;
    bool frozen_ = false;
    std::size_t known_ = 0; // nodes the views know while frozen

    bool isKnown(NodeId id) const { return !frozen_ || id <= known_; }
};

class TreeView : public QTreeView, public TreeNodes
{
    Q_OBJECT
public:
    explicit TreeView(QWidget *parent = nullptr);

    void Clear() override;
    NodeId Add(std::string_view relative, int relationship, std::string_view key,
               std::string_view text) override;
    std::size_t Count() const override { return model_.Store().Count(); }
    // Node numbers outside 1..Count raise TreeError.
    std::string_view Text(NodeId node) const override;
    void Select(NodeId node) override;
    // Expands the node's ancestors and scrolls it into view; during a fill, only noted.
    void EnsureVisible(NodeId node) override;
    // Focus to the tree, which makes its window the active one.
    void SetFocus() override;
    std::uint64_t Generation() const override { return model_.Store().Generation(); }

    // A fill adds many nodes without telling the view about each one. ShowFilled makes the
    // nodes added so far known, expands every ancestor that EnsureVisible asked for and
    // scrolls once to the node it named last: one layout, however many nodes came since the
    // last time. EndFill does the same and ends the fill.
    void BeginFill();
    void ShowFilled();
    void EndFill();
    bool Filling() const { return model_.Frozen(); }

    // 0 text; 1 pictures, text; 2 plus/minus, text; 3 plus/minus, pictures, text; 4 lines,
    // text; 5 lines, pictures, text; 6 lines, plus/minus, text; 7 all of them. The tree has
    // no pictures, so 1, 3, 5 and 7 look like 0, 2, 4 and 6.
    int Style() const { return style_; }
    void SetStyle(int style);
    // 0 the platform's sunken frame; 1 a fixed single line.
    int BorderStyle() const { return borderStyle_; }
    void SetBorderStyle(int borderStyle);

    const TreeModel &Model() const { return model_; }
    // The selected node, or 0.
    NodeId SelectedNode() const;
    // Full relayouts of the view with nodes in it so far: a fill costs one per ShowFilled.
    std::size_t LayoutCount() const { return layouts_; }
    // The width the column needs for the widest row, from its level and its whole text.
    int ContentWidth() const;
    // Texts measured exactly so far, of all the nodes added.
    std::size_t TextsMeasured() const { return textsMeasured_; }

    void doItemsLayout() override;
    // Scrolls so that the row shows whole, top to bottom, as well as it can from the left.
    void scrollTo(const QModelIndex &index,
                  ScrollHint hint = QAbstractItemView::EnsureVisible) override;

protected:
    void drawBranches(QPainter *painter, const QRect &rect,
                      const QModelIndex &index) const override;
    void resizeEvent(QResizeEvent *event) override;
    void changeEvent(QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void currentChanged(const QModelIndex &current, const QModelIndex &previous) override;

private:
    TreeModel model_;
    std::vector<NodeId> toExpand_;
    std::vector<bool> marked_;
    NodeId toShow_ = 0;
    int style_ = 7;
    int borderStyle_ = 0;
    std::size_t layouts_ = 0;

    // The widest row so far, as its level's indentation plus its text's advance, over the
    // nodes up to measured_. A text is measured only when a bound from its length, then one
    // from its characters' own advances, says that it could be wider.
    int widest_ = 0;
    NodeId measured_ = 0;
    std::size_t textsMeasured_ = 0;
    double perByte_ = 0;          // no character is wider than this per UTF-8 byte
    std::vector<float> advances_; // each BMP character's own advance, -1 until needed
    NodeId levelParent_ = 0;      // the parent met last, and its children's level
    int levelOfChildren_ = 0;

    void checkNode(NodeId node) const;
    // Whether node is the last row the view shows: the last child at every level, below
    // expanded ancestors, with no children shown.
    bool isBottomRow(NodeId node) const;
    // Scrolls to the bottom row as scrollTo would, without looking it up.
    void scrollToBottomRow();
    void fontChanged();
    void measureTo(std::size_t count);
    double estimate(std::string_view text);
    int levelOf(NodeId node);
    void fitColumn();
    QRect firstRowCell() const;
};

} // namespace platform
