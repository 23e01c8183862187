"""`python -m corvane.cli`: the `corvane` command."""
from corvane.cli import main

main()
