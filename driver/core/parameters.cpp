// Parameter descriptors of every model (being written).
