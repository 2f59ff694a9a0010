"""Host layer of the package-management back end: settings, logging and package services."""
