#pragma once
// The monitor's entries as a Qt table: every entry the window holds (at most
// LIMIT, oldest dropped first), and those the filter lets through shown.
#include <QAbstractTableModel>
#include <deque>
#include <memory>
#include <vector>

#include "app/PacketView.h"

class MonitorModel : public QAbstractTableModel {
    Q_OBJECT
public:
    static constexpr size_t LIMIT = 10000;
    enum Column { ColTime, ColDir, ColPeer, ColType, ColDevNo, ColLength, ColFrame, ColData, ColumnCount };

    using QAbstractTableModel::QAbstractTableModel;
    void append(std::vector<PacketView>&& entries);
    void clear();
    void setFilter(MonitorFilter f);
    const MonitorFilter& filter() const { return filter_; }

    size_t held() const { return all_.size(); }
    const PacketView& shown(int row) const { return *shown_[static_cast<size_t>(row)]; }
    // Every entry held, filter or not, oldest first (for a saved capture).
    std::vector<const TapRecord*> records() const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation o, int role) const override;

private:
    std::deque<std::shared_ptr<const PacketView>> all_;
    std::deque<std::shared_ptr<const PacketView>> shown_;  // a subsequence of all_
    MonitorFilter filter_;
};
