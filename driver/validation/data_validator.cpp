// Data validator (being written).
