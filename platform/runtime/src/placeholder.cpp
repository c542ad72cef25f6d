void PlaceholderUntilTheRuntimeLands() {}
