"""A small stand-in for the framework's data-source plug-in."""
