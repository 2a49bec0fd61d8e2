"""Recognition-mode post-processing: drops alarms of still targets and of unchanged regions."""
