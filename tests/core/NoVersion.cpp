int NoVersionExport() { return 0; }
