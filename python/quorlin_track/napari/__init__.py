"""The napari plugin: a "Track particles" dock widget with live preview, a reader and writers of
track tables, and the synthetic movie as sample data (manifest ``napari.yaml``).

Install with ``pip install 'quorlin[napari]'``; napari finds the plugin by its entry point. The
modules import napari and Qt only when napari asks for a contribution.
"""
