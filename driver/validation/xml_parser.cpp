// XML access over libxml2 (being written).
