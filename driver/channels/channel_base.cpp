// Channel base (being written).
