void PlaceholderUntilTheServiceLands() {}
