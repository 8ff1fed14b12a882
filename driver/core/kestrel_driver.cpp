// Driver object (being written).
