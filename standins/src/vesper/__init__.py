"""A small stand-in for the backtesting framework: the pieces a bundle updater uses."""
