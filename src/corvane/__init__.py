"""corvane: keeps a local market-data bundle of HDF5 files up to date."""
